#!/usr/bin/env python3
"""A program on the far end of a simulated port's line, through a pseudo-terminal and pyserial.

  pty_test.py TVK echo BAUD [--max-ratio R]
      `tvk pty --baud BAUD`: 256 KiB of random bytes written to the terminal come back intact,
      in the line time of 10 bits a byte (8N1) and at most R times that (default 1.10); SIGINT
      (115200) or SIGTERM (other rates) ends it with status 0 and removes the terminal.
  pty_test.py TVK term
      `tvk term --wiring pty` on a terminal of its own: text written to the far end's terminal
      shows on the screen, typed text reaches the far end, Ctrl-] ends it and removes the terminal.
  pty_test.py TVK xonxoff
      `tvk pty --flow xonxoff --baud 921600`: the far end sends XOFF, 64 KiB, XON; all 64 KiB come
      back (XON/XOFF the driver sends for its own buffer are flow control, not data), and while
      the far end holds it tvk stays near idle.
  pty_test.py TVK loss
      `tvk pty --flow none`: the far end writes 3000 bytes and closes the terminal at once; what
      the echo sends meanwhile is dropped, reported as it happens and in the closing line, and the
      bytes that reach the reopened terminal plus those dropped are the 3000.
"""
import argparse
import os
import pty
import random
import re
import signal
import subprocess
import sys
import threading
import time

import serial

SIZE = 256 * 1024


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def wait_exit(proc, timeout):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        fail("tvk did not end within %d s" % timeout)


def echo(tvk, baud, max_ratio):
    proc = subprocess.Popen([tvk, "pty", "--baud", str(baud)], stdout=subprocess.PIPE, text=True)
    path = proc.stdout.readline().strip()
    if not path.startswith("/dev/") or not os.path.exists(path):
        proc.kill()
        fail("first line is not a terminal's path: %r" % path)
    print("terminal: " + path)

    data = random.Random(baud).randbytes(SIZE)
    line_time = SIZE * 10 / baud  # 8N1; the echo crosses the line back in parallel
    received = bytearray()
    with serial.Serial(path, baudrate=baud, timeout=1) as port:
        start = time.monotonic()
        writer = threading.Thread(target=port.write, args=(data,))
        writer.start()
        deadline = start + 3 * line_time + 20
        while len(received) < SIZE and time.monotonic() < deadline:
            received += port.read(SIZE - len(received))
        elapsed = time.monotonic() - start
        writer.join()
    print("%d baud: %d of %d bytes back in %.3f s, line time %.3f s (ratio %.3f)"
          % (baud, len(received), SIZE, elapsed, line_time, elapsed / line_time))

    stop = signal.SIGINT if baud == 115200 else signal.SIGTERM
    proc.send_signal(stop)
    status = wait_exit(proc, 60)
    rest = proc.stdout.read()
    print(rest, end="")

    if bytes(received) != data:
        same = next((i for i, (a, b) in enumerate(zip(received, data)) if a != b),
                    min(len(received), SIZE))
        fail("echo differs from byte %d on (%d bytes back)" % (same, len(received)))
    # Every byte takes its 10 bit times on the way in; the lower bound leaves only clock rounding.
    if elapsed < 0.99 * line_time:
        fail("faster than the line: %.3f s for %.3f s of line time" % (elapsed, line_time))
    # Under device scheduling the device's one core also carries what is not the device's CPU on
    # the device: the modelled bridge, the pseudo-terminal's pump and, when pinned with it, this
    # far end (at the host's normal policy, below every real-time thread). Measured 1.7 to 2.0
    # times the line at 921600 baud; the rate bound allows three times the line there.
    if os.environ.get("TV_SCHED") == "device" and max_ratio < 3.0:
        max_ratio = 3.0
        print("device scheduling: the far end shares the core; rate bound %.2f" % max_ratio)
    if elapsed > max_ratio * line_time:
        fail("slower than %.2f times the line time" % max_ratio)
    if status != 0:
        fail("tvk pty exit status %d after %s" % (status, stop.name))
    if "bytes echoed, nothing lost; port closed" not in rest:
        fail("no clean end reported")
    if os.path.exists(path):
        fail(path + " still exists after tvk pty ended")


def read_until(fd, screen, pattern, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        match = re.search(pattern, screen[0])
        if match:
            return match
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        screen[0] += chunk.decode("latin-1")
    fail("%r never appeared; the screen: %r" % (pattern, screen[0]))


def term(tvk):
    master, slave = pty.openpty()
    proc = subprocess.Popen([tvk, "term", "--wiring", "pty", "--baud", "921600"],
                            stdin=slave, stdout=slave, stderr=slave, close_fds=True)
    os.close(slave)
    screen = [""]
    path = read_until(master, screen, r"far end on (/dev/\S+)\. Ctrl-\] ends", 60).group(1)
    with serial.Serial(path, baudrate=921600, timeout=10) as far:
        far.write(b"from the far end")
        read_until(master, screen, "from the far end", 10)
        os.write(master, b"to the far end")
        got = far.read(len(b"to the far end"))
        if got != b"to the far end":
            fail("the far end read %r" % got)
    os.write(master, b"\x1d")
    read_until(master, screen, "closed", 30)
    status = wait_exit(proc, 30)
    os.close(master)
    if status != 0:
        fail("tvk term exit status %d" % status)
    if os.path.exists(path):
        fail(path + " still exists after tvk term ended")
    print("tvk term --wiring pty: both ways through " + path)


def start_pty(tvk, *args):
    proc = subprocess.Popen([tvk, "pty", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    path = proc.stdout.readline().strip()
    if not path.startswith("/dev/") or not os.path.exists(path):
        proc.kill()
        fail("first line is not a terminal's path: %r" % path)
    proc.stdout.readline()  # what runs
    return proc, path


def end_pty(proc, path):
    proc.send_signal(signal.SIGTERM)
    status = wait_exit(proc, 60)
    out, err = proc.stdout.read(), proc.stderr.read()
    print(out + err, end="")
    if status != 0:
        fail("tvk pty exit status %d" % status)
    if os.path.exists(path):
        fail(path + " still exists after tvk pty ended")
    return out, err


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def xonxoff(tvk):
    baud = 921600
    proc, path = start_pty(tvk, "--flow", "xonxoff", "--baud", str(baud))
    data = bytes(b for b in random.Random(7).randbytes(80 * 1024) if b not in (0x11, 0x13))
    data = data[:64 * 1024]
    received = bytearray()
    with serial.Serial(path, baudrate=baud, timeout=0.2) as port:
        port.write(b"\x13" + data)
        port.flush()
        # tcdrain returns while the terminal still holds up to 4 KiB: give the line time.
        time.sleep(0.5)
        received += port.read(65536)
        cpu_start, wall_start = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(1.5)
        cpu = (cpu_seconds(proc.pid) - cpu_start) / (time.monotonic() - wall_start)
        received += port.read(65536)
        held = bytes(b for b in received if b not in (0x11, 0x13))
        port.write(b"\x11")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            received += port.read(65536)
            if len(bytes(b for b in received if b not in (0x11, 0x13))) >= len(data):
                break
        time.sleep(0.2)
        received += port.read(65536)
    end_pty(proc, path)
    back = bytes(b for b in received if b not in (0x11, 0x13))
    print("xonxoff: %d of %d bytes back, %d while held; tvk used %.1f %% of a core while held"
          % (len(back), len(data), len(held), 100 * cpu))
    if held:
        fail("%d bytes came back while the far end held the echo with XOFF" % len(held))
    if back != data:
        fail("echo differs: %d bytes back for %d" % (len(back), len(data)))
    # Spinning on a held write costs a whole core; an idle port costs a fraction of a percent.
    if cpu > 0.05:
        fail("tvk used %.1f %% of a core while held by XOFF" % (100 * cpu))


def loss(tvk):
    proc, path = start_pty(tvk, "--flow", "none", "--baud", "115200")
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, bytes(range(256)) * 11 + bytes(184))  # 3000 bytes, 260 ms of line time
    os.close(fd)
    time.sleep(1.5)  # the echo goes out meanwhile
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    time.sleep(0.3)
    kept = 0
    while True:
        try:
            chunk = os.read(fd, 4096)
        except BlockingIOError:
            break
        if not chunk:
            break
        kept += len(chunk)
    os.close(fd)
    out, err = end_pty(proc, path)
    match = re.search(r"the line dropped (\d+) bytes while the terminal was closed", out)
    if not match:
        fail("the closing line does not report the drop: %r" % out)
    dropped = int(match.group(1))
    print("loss: %d bytes dropped, %d kept for the reopened terminal" % (dropped, kept))
    if "tvk pty: loss: " not in err:
        fail("the drop was not reported when it happened: %r" % err)
    if dropped == 0 or dropped + kept != 3000:
        fail("%d dropped and %d kept do not make the 3000 echoed" % (dropped, kept))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tvk")
    parser.add_argument("mode", choices=["echo", "term", "xonxoff", "loss"])
    parser.add_argument("baud", type=int, nargs="?", default=115200)
    parser.add_argument("--max-ratio", type=float, default=1.10)
    args = parser.parse_args()
    if args.mode == "echo":
        echo(args.tvk, args.baud, args.max_ratio)
    elif args.mode == "xonxoff":
        xonxoff(args.tvk)
    elif args.mode == "loss":
        loss(args.tvk)
    else:
        term(args.tvk)


if __name__ == "__main__":
    main()
