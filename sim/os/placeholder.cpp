// Replaced by the OS services implementation.
