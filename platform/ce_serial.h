// Serial-port records, control codes and constants of the platform, in their published layouts.
#pragma once

#include "ce_types.h"

// The records and constants Win32 shares come from <windows.h> on a Windows toolchain (same
// layouts, checked below); the platform's own ones are declared for both.
#ifndef _WIN32
// ---- Access bits of an open -------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// ---- DCB ---------------------------------------------------------------------------------------
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define CBR_9600 9600u
#define CBR_19200 19200u
#define CBR_38400 38400u
#define CBR_57600 57600u
#define CBR_115200 115200u

typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;
#endif  // !_WIN32
C_ASSERT(sizeof(DCB) == 28);

// Masks of the DCB's bit-field word (the third 32-bit word), for code that treats it as one word.
#define DCB_FLAGS_OFFSET 8u
#define DCB_F_BINARY 0x0001u
#define DCB_F_PARITY 0x0002u
#define DCB_F_OUTX_CTS_FLOW 0x0004u
#define DCB_F_OUTX_DSR_FLOW 0x0008u
#define DCB_F_DTR_CONTROL_MASK 0x0030u
#define DCB_F_DTR_HANDSHAKE 0x0020u
#define DCB_F_DSR_SENSITIVITY 0x0040u
#define DCB_F_TX_CONTINUE_ON_XOFF 0x0080u
#define DCB_F_OUTX 0x0100u
#define DCB_F_INX 0x0200u
#define DCB_F_ERROR_CHAR 0x0400u
#define DCB_F_NULL 0x0800u
#define DCB_F_RTS_CONTROL_MASK 0x3000u
#define DCB_F_RTS_HANDSHAKE 0x2000u
#define DCB_F_RTS_TOGGLE 0x3000u
#define DCB_F_ABORT_ON_ERROR 0x4000u

// ---- Time-outs, status, properties ------------------------------------------------------------
#ifndef _WIN32
typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;
#endif  // !_WIN32
C_ASSERT(sizeof(COMMTIMEOUTS) == 20);

#ifndef _WIN32

typedef struct _COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;
#endif  // !_WIN32
C_ASSERT(sizeof(COMSTAT) == 12);

// Bits of the COMSTAT flag word (its first 32-bit word).
#define COMSTAT_CTS_HOLD 0x01u
#define COMSTAT_DSR_HOLD 0x02u
#define COMSTAT_RLSD_HOLD 0x04u
#define COMSTAT_XOFF_HOLD 0x08u
#define COMSTAT_XOFF_SENT 0x10u
#define COMSTAT_EOF 0x20u
#define COMSTAT_TXIM 0x40u

typedef struct _SERIAL_DEV_STATUS {
  DWORD Errors;
  COMSTAT ComStat;
} SERIAL_DEV_STATUS, *PSERIAL_DEV_STATUS;
C_ASSERT(sizeof(SERIAL_DEV_STATUS) == 16);

#ifndef _WIN32
typedef struct _COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;
#endif  // !_WIN32
C_ASSERT(sizeof(COMMPROP) == 64);

#ifndef _WIN32

// Communication event bits.
#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_PERR 0x0200u
#define EV_RX80FULL 0x0400u
#define EV_EVENT1 0x0800u
#define EV_EVENT2 0x1000u
#define EV_POWER 0x2000u

// Purge flags.
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// Modem status bits.
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

// Line error bits (SERIAL_DEV_STATUS Errors).
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define CE_TXFULL 0x0100u

// EscapeCommFunction codes.
#define SETXOFF 1u
#define SETXON 2u
#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define SETBREAK 8u
#define CLRBREAK 9u
#endif  // !_WIN32
#ifndef SETIR
#define SETIR 10u
#define CLRIR 11u
#endif

// ---- Control codes ----------------------------------------------------------------------------
#ifndef CTL_CODE
#define CTL_CODE(deviceType, function, method, access)                                \
  (((DWORD)(deviceType) << 16) | ((DWORD)(access) << 14) | ((DWORD)(function) << 2) | \
   (DWORD)(method))
#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
#define FILE_DEVICE_SERIAL_PORT 0x0000001Bu
#endif

#define IOCTL_SERIAL_SET_BREAK_ON 0x001B0004u
#define IOCTL_SERIAL_SET_BREAK_OFF 0x001B0008u
#define IOCTL_SERIAL_SET_DTR 0x001B000Cu
#define IOCTL_SERIAL_CLR_DTR 0x001B0010u
#define IOCTL_SERIAL_SET_RTS 0x001B0014u
#define IOCTL_SERIAL_CLR_RTS 0x001B0018u
#define IOCTL_SERIAL_SET_XOFF 0x001B001Cu
#define IOCTL_SERIAL_SET_XON 0x001B0020u
#define IOCTL_SERIAL_GET_WAIT_MASK 0x001B0024u
#define IOCTL_SERIAL_SET_WAIT_MASK 0x001B0028u
#define IOCTL_SERIAL_WAIT_ON_MASK 0x001B002Cu
#define IOCTL_SERIAL_GET_COMMSTATUS 0x001B0030u
#define IOCTL_SERIAL_GET_MODEMSTATUS 0x001B0034u
#define IOCTL_SERIAL_GET_PROPERTIES 0x001B0038u
#define IOCTL_SERIAL_SET_TIMEOUTS 0x001B003Cu
#define IOCTL_SERIAL_GET_TIMEOUTS 0x001B0040u
#define IOCTL_SERIAL_PURGE 0x001B0044u
#define IOCTL_SERIAL_SET_QUEUE_SIZE 0x001B0048u
#define IOCTL_SERIAL_IMMEDIATE_CHAR 0x001B004Cu
#define IOCTL_SERIAL_GET_DCB 0x001B0050u
#define IOCTL_SERIAL_SET_DCB 0x001B0054u
#define IOCTL_SERIAL_ENABLE_IR 0x001B0058u
#define IOCTL_SERIAL_DISABLE_IR 0x001B005Cu

#define IOCTL_POWER_CAPABILITIES 0x00321000u
#define IOCTL_POWER_GET 0x00321004u
#define IOCTL_POWER_SET 0x00321008u
#define IOCTL_POWER_QUERY 0x0032100Cu
#define IOCTL_REGISTER_POWER_RELATIONSHIP 0x00321018u

// The process-exit notice the platform sends to every handle of an exiting process.
#define IOCTL_PSL_NOTIFY 0x010303FFu
#define DLL_PROCESS_EXITING 4u

typedef struct _DEVICE_PSL_NOTIFY {
  DWORD dwSize;
  DWORD dwFlags;
  HANDLE hProc;
  HANDLE hThread;
} DEVICE_PSL_NOTIFY, *PDEVICE_PSL_NOTIFY;
