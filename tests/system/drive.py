#!/usr/bin/env python3
"""Drives the emulated ARM machine from the host and checks what a Pi owner
relies on: the package's life with apt (installed neither enabled nor
started, an upgrade that restarts the running daemon, removal and purge that
leave nothing), the board's frames through the daemon under systemd, the
control-line pulse and the UART's speed as QEMU saw the guest's drivers set
them, readiness, a restart after SIGKILL, and on QEMU's virt machine the
failure without a line named GPIO4.
Prints one line per check; exit status 0 when every check held."""

import argparse
import os
import re
import socket
import subprocess
import sys
import time

checks = []


def check(what, held, detail=""):
    checks.append(held)
    print(f"system-test: {'ok  ' if held else 'FAIL'} {what}{'' if held else ': ' + detail}",
          flush=True)
    return held


class Guest:
    """One boot of the machine, with a command channel on its second console."""

    def __init__(self, args, tag, dtb, port, link):
        self.work = args.work
        self.board = args.board
        self.channel_path = os.path.join(self.work, f"channel-{tag}.sock")
        self.trace = os.path.join(self.work, f"trace-{tag}.log")
        self.console = os.path.join(self.work, f"console-{tag}.log")
        fifo = os.path.join(self.work, f"trace-{tag}.fifo")
        for path in (self.channel_path, self.trace, self.console, fifo):
            if os.path.exists(path):
                os.unlink(path)
        image = os.path.join(self.work, "run.img")
        # The PL011 is the first serial port on both machines.
        self.monitor_path = os.path.join(self.work, f"monitor-{tag}.sock")
        if os.path.exists(self.monitor_path):
            os.unlink(self.monitor_path)
        command = args.machine + [
            "-display", "none", "-monitor", f"unix:{self.monitor_path},server=on,wait=off",
            "-no-reboot",
            "-kernel", args.kernel, "-initrd", os.path.join(self.work, "initrd.cpio"),
            "-dtb", os.path.join(self.work, dtb),
            "-netdev", f"user,id=net,hostfwd=udp:127.0.0.1:{port}-:2460",
            "-chardev", f"serial,id=uart,path={link}", "-serial", "chardev:uart",
            "-chardev", f"socket,id=channel,path={self.channel_path},server=on,wait=off",
            "-msg", "timestamp=on", "-D", fifo, "-trace", "enable=pl011_baudrate_change",
        ]
        if self.board == "virt":
            command += [
                "-append", "console=hvc0 rdinit=/init",
                "-drive", f"if=none,id=disk,file={image},format=raw",
                "-device", "virtio-blk-pci,drive=disk",
                "-device", "virtio-net-pci,netdev=net,romfile=",
                "-device", "virtio-serial-pci",
                "-chardev", f"file,id=con,path={self.console}", "-device", "virtconsole,chardev=con",
                "-device", "virtconsole,chardev=channel", "-trace", "enable=pl061_set_output",
            ]
        else:  # a Pi: SD card, USB network, the mini UART carries the commands
            command += [
                "-append", "console=tty0 quiet rdinit=/init corvexd.console=tty0 "
                           "corvexd.channel=ttyS1",
                "-drive", f"if=sd,file={image},format=raw", "-device", "usb-net,netdev=net",
                "-serial", "chardev:channel",
            ]
        # On a Pi every device write has to be traced to see the GPIO block's
        # (tracing() turns it on once the guest is up: traced from boot, it
        # boots ten times slower); only the GPIO block's and the UART's speed
        # are kept, filtered as QEMU writes them.
        os.mkfifo(fifo)
        self.filter = subprocess.Popen(
            ["sh", "-c", 'exec grep -E --line-buffered "$1" <"$2" >"$3"', "filter",
             "pl061_set_output|pl011_baudrate_change|'bcm2835_gpio'", fifo, self.trace])
        self.started = time.monotonic()
        self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL)
        self.channel = None
        self.buffer = b""
        self.token = 0

    def tracing(self, on):
        """Turns the trace of every device write on or off (QEMU's monitor)."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as monitor:
            monitor.connect(self.monitor_path)
            monitor.sendall(f"trace-event memory_region_ops_write {'on' if on else 'off'}\n".encode())
            # Done once the monitor prompts again after the banner's prompt:
            # closed before, the command was once lost (no pulse traced).
            answer, deadline = b"", time.monotonic() + 10
            while answer.count(b"(qemu)") < 2 and time.monotonic() < deadline:
                monitor.settimeout(max(0.1, deadline - time.monotonic()))
                try:
                    data = monitor.recv(4096)
                except socket.timeout:
                    break
                if not data:
                    break
                answer += data

    def connect(self, timeout):
        """Waits until the guest's command channel answers; the boot time.
        On virt the kernel's console comes up 10 to 20 s into the boot: one
        still silent at 45 s has hung, and is not waited for."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.qemu.poll() is None:
            silent = os.path.exists(self.console) and os.path.getsize(self.console) == 0
            if self.board == "virt" and silent and time.monotonic() > self.started + 45:
                return None
            try:
                if self.channel is None:
                    self.channel = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    self.channel.connect(self.channel_path)
                if self.run("true", 2)[0] == 0:
                    return time.monotonic() - self.started
            except OSError:
                self.channel = None
                time.sleep(0.5)
        return None

    def run(self, command, timeout=30):
        """(status, output) of a shell command in the guest; status None on time-out.
        Each command ends with a marker of its own: a command that timed out
        (while the guest was still booting) may answer later, and its answer
        must not be taken for this one's."""
        self.token += 1
        marker = f"@@{self.token}@@"
        self.channel.sendall(f'{{ {command}; }} 2>&1; echo "{marker} $?"\n'.encode())
        deadline = time.monotonic() + timeout
        while True:
            match = re.search(re.escape(marker).encode() + rb" (\d+)\r?\n", self.buffer)
            if match:
                output = self.buffer[:match.start()].decode(errors="replace")
                self.buffer = self.buffer[match.end():]
                output = re.split(r"@@\S* \d+\r?\n", output)[-1]  # what earlier commands left
                return int(match.group(1)), output.replace("\r", "")
            left = deadline - time.monotonic()
            if left <= 0:
                return None, ""
            self.channel.settimeout(left)
            try:
                data = self.channel.recv(65536)
            except socket.timeout:
                return None, ""
            if not data:
                return None, ""
            self.buffer += data

    def unit(self):
        status, output = self.run("systemctl show corvexd.service -p Type -p ActiveState "
                                  "-p StatusText -p MainPID -p NRestarts "
                                  "-p ExecMainStartTimestampMonotonic "
                                  "-p ActiveEnterTimestampMonotonic")
        return dict(line.split("=", 1) for line in output.splitlines() if "=" in line)

    def wait_active(self, timeout, other_than="0"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            state = self.unit()
            if state.get("ActiveState") == "active" and state.get("MainPID") not in ("0", other_than):
                return state
            time.sleep(0.5)
        return self.unit()

    def apt(self, command):
        """Runs apt-get or dpkg as a user would; (status, seconds, output)."""
        started = time.monotonic()
        status, output = self.run(f"DEBIAN_FRONTEND=noninteractive {command}", 300)
        return status, time.monotonic() - started, output

    def enablement(self):
        """What systemctl says of the unit: e.g. "disabled inactive"."""
        return " ".join(self.run("systemctl is-enabled corvexd.service; "
                                 "systemctl is-active corvexd.service")[1].split())

    def journal(self):
        return self.run("journalctl -u corvexd.service -o cat --no-pager")[1]

    def stop(self):
        if self.channel is not None and self.board == "virt":  # a Pi cannot power off
            try:
                self.channel.sendall(b"systemctl poweroff\n")
            except OSError:
                pass
        try:  # a guest that never answered is not asked
            self.qemu.wait(60 if self.board == "virt" and self.channel is not None else 0)
        except subprocess.TimeoutExpired:
            self.qemu.kill()
            self.qemu.wait()
        try:  # grep ends when QEMU closes the trace; it never opened it if QEMU failed
            self.filter.wait(10)
        except subprocess.TimeoutExpired:
            self.filter.kill()
            self.filter.wait()


def boot(args, tag, dtb, port, link, timeout):
    """A guest and its boot time, None when it did not answer. An emulated
    boot has hung before its console came up (armhf with two processors, one
    in four): a second boot is tried then, and said."""
    for attempt in (1, 2):
        guest = Guest(args, tag, dtb, port, link)
        took = guest.connect(timeout)
        if took is not None or attempt == 2:
            return guest, took
        print("system-test: no answer from the guest; booting it again", flush=True)
        guest.stop()


def round_trip(port, frame, timeout=5.0):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.bind(("127.0.0.1", 0))
        client.settimeout(timeout)
        client.sendto(frame, ("127.0.0.1", port))
        try:
            return client.recv(65536)
        except socket.timeout:
            return None


def frame(payload, fourth=0):
    return bytes([0x61, len(payload) >> 8, len(payload) & 0xFF, fourth]) + payload


def relays(port, what):
    small = frame(bytes([0x0D, 0x11, 0x13, 0x61, 0x0A, 0x00, 0xFF]), 0x0D)
    large = frame(bytes(i % 256 for i in range(396)), 0x61)
    for name, sent in (("a frame with 0D 11 13 61 in its payload", small),
                       ("a 400-byte frame", large)):
        answer = round_trip(port, sent)
        check(f"{what}: {name} through the bridge and back, byte for byte", answer == sent,
              f"answer {answer.hex() if answer else None}")


def trace_events(trace_path):
    """(time, level) of the control line (GPIO 4) and (time, ibrd, fbrd, baud)
    of the UART's divisor, from QEMU's trace; the line's levels before its
    first 1 are the machine's reset. On a Pi the GPIO block's set and clear
    registers (GPSET0, GPCLR0) show the line's level."""
    line4, uart = [], []
    with open(trace_path, errors="replace") as trace:
        for text in trace:
            stamp = re.match(r"\d+@(\d+\.\d+):", text)
            if not stamp:
                continue
            when = float(stamp.group(1))
            if m := re.search(r"setting output 4 to (\d)", text):
                line4.append((when, int(m.group(1))))
            elif m := re.search(r"addr 0x3f2000(1c|28) value 0x([0-9a-f]+) .*'bcm2835_gpio'", text):
                if int(m.group(2), 16) & 0x10:
                    line4.append((when, 1 if m.group(1) == "1c" else 0))
            elif m := re.search(r"clk: (\d+)hz, ibrd: (\d+), fbrd: (\d+)", text):
                # QEMU's virt leaves its PL011's clock unwired (0 Hz); the
                # guest's device tree gives it 24 MHz.
                clock, ibrd, fbrd = int(m.group(1)) or 24000000, int(m.group(2)), int(m.group(3))
                uart.append((when, ibrd, fbrd, round(clock * 4 / max(1, 64 * ibrd + fbrd))))
    while line4 and line4[0][1] != 1:
        line4.pop(0)
    lows = [(when, later) for (when, level), (later, after) in zip(line4, line4[1:])
            if level == 0 and after == 1]
    return lows, uart


def check_pulse(trace_path, index, what):
    lows, uart = trace_events(trace_path)
    if not check(f"{what}: header pin 7 (GPIO 4) pulsed low then high", len(lows) > index,
                 f"{len(lows)} pulses in QEMU's trace"):
        return
    low, high = lows[index]
    check(f"{what}: header pin 7 low for {1000 * (high - low):.1f} ms (20 ms asked)",
          0.0195 <= high - low <= 0.060)
    # The driver writes the divisor in steps when the daemon sets the line;
    # the last one must give 230400 baud from the UART's clock, within the
    # 1 % that a UART tolerates.
    after = [event for event in uart if event[0] >= low]
    burst = [event for event in after if after and event[0] - after[0][0] < 0.5]
    divisor = f"{burst[-1][1]} + {burst[-1][2]}/64, {burst[-1][3]} baud" if burst else "none"
    check(f"{what}: the UART set to 230400 baud (divisor {divisor}), "
          f"{after[0][0] - high if after else 0:.2f} s after the pulse, not before",
          bool(burst) and abs(burst[-1][3] - 230400) <= 2304 and burst[0][0] >= high + 0.7
          and not any(low <= event[0] < high for event in uart), f"UART after the pulse: {after[:4]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--board", choices=("virt", "raspi3b"), default="virt")
    parser.add_argument("machine", nargs="+")
    args = parser.parse_args()

    link = os.path.join(args.work, "ttyBOARD")
    board = subprocess.Popen([os.path.join(args.host, "corvex-board"), "--quiet", link],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.islink(link):
                break
            time.sleep(0.05)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]

        # Debian's own device tree for the Pi, as shipped but for the UART
        # given to the header; on virt, its own with line 4 named GPIO4.
        dtb = "gpio4.dtb" if args.board == "virt" else "raspi3b.dtb"
        guest, booted = boot(args, args.board, dtb, port, link, 150 if args.board == "virt" else 400)
        try:
            if not check("the guest boots with its own kernel and systemd", booted is not None,
                         "no answer on the command channel"):
                return 1
            print(f"system-test: booted in {booted:.1f} s", flush=True)
            status, took, output = guest.apt("apt-get install -y --no-install-recommends /corvexd.deb")
            check(f"apt installs the package ({took:.1f} s); the unit stays disabled and inactive",
                  status == 0 and guest.enablement() == "disabled inactive",
                  f"{status} {guest.enablement()} {output[-500:]}")
            guest.run("systemctl enable --now corvexd.service")
            state = guest.wait_active(120)
            check("systemd reports corvexd.service active (Type=notify), at the first attempt",
                  state.get("ActiveState") == "active" and state.get("Type") == "notify"
                  and state.get("NRestarts") == "0", str(state) + "\n" + guest.journal())
            ready = int(state.get("ActiveEnterTimestampMonotonic", 0)) - int(
                state.get("ExecMainStartTimestampMonotonic", 0))
            check(f"active {ready / 1e6:.2f} s after start, once the daemon said it was ready",
                  ready >= 770000 and state.get("StatusText", "").startswith(
                      "relaying frames between UDP port 2460 and /dev/ttyAMA0"), str(state))
            relays(port, "first start")
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as junk:
                junk.sendto(b"\x00junk", ("127.0.0.1", port))
            time.sleep(1)
            check("a junk datagram's message is in the unit's journal",
                  "corvexd: invalid start byte when reading from the socket, 0x00"
                  in guest.journal())
            counted = (": 2 to the board, 2 from it; dropped: 1 invalid datagrams, 0 faults from "
                       "the board, 0 for a busy line, 0 by the kernel")
            deadline = time.monotonic() + 5  # sent at most once a second
            status = guest.unit().get("StatusText", "")
            while counted not in status and time.monotonic() < deadline:
                time.sleep(0.5)
                status = guest.unit().get("StatusText", "")
            check("systemctl status counts the frames each way and the junk datagram",
                  counted in status, status)
            pid = state.get("MainPID")
            first = "first start"
            if args.board != "virt":
                guest.tracing(True)
                guest.run("systemctl restart corvexd.service")
                state = guest.wait_active(60, other_than=pid)
                pid, first = state.get("MainPID"), "restarted with systemctl, traced"
                relays(port, first)
            check_pulse(guest.trace, 0, first)

            killed = time.monotonic()
            guest.run(f"kill -KILL {pid}")
            state = guest.wait_active(60, other_than=pid)
            took = time.monotonic() - killed
            check(f"killed with SIGKILL, restarted by systemd after RestartSec ({took:.1f} s)",
                  state.get("ActiveState") == "active" and state.get("MainPID") != pid
                  and state.get("NRestarts") == "1" and took >= 2, str(state))
            relays(port, "after the restart")
            check_pulse(guest.trace, 1, "after the restart")

            pid = state.get("MainPID")
            status, took, output = guest.apt("apt-get install -y /corvexd-upgrade.deb")
            state = guest.wait_active(60, other_than=pid)
            version = guest.run("dpkg-query -W -f '${Version}' corvexd")[1]
            check(f"apt upgrades to {version} ({took:.1f} s): the daemon runs again with a new "
                  f"main PID", status == 0 and bool(re.match(r"\d+\.\d+\.\d+-2\+deb", version))
                  and state.get("ActiveState") == "active" and state.get("MainPID") != pid,
                  f"{status} {state} {output[-500:]}")
            relays(port, "after the upgrade")
            check_pulse(guest.trace, 2, "after the upgrade")
            guest.run("systemctl stop corvexd.service")
            status, _, output = guest.apt("dpkg -i /corvexd-upgrade.deb")
            check("installed again while stopped, it stays stopped",
                  status == 0 and guest.enablement() == "enabled inactive",
                  f"{status} {guest.enablement()} {output[-500:]}")
            guest.run("systemctl start corvexd.service")
            guest.wait_active(60)
            status, took, output = guest.apt("apt-get remove -y corvexd")
            left = guest.run("pgrep -a -x corvexd")[1].strip()
            check(f"apt remove ({took:.1f} s) stops the daemon: no corvexd process left",
                  status == 0 and not left, f"{status} {left} {output[-500:]}")
            status, took, output = guest.apt("apt-get purge -y corvexd")
            left = guest.run("find /etc/systemd /lib/systemd /usr/lib/systemd /var/lib/systemd "
                             "-name 'corvexd.service*'")[1].strip()
            check(f"apt purge ({took:.1f} s) leaves no unit and no enablement link",
                  status == 0 and not left, f"{status} {left} {output[-500:]}")
        finally:
            guest.stop()

        if args.board == "virt":  # a Pi's GPIO block is always there
            guest, booted = boot(args, "plain", "plain.dtb", port, link, 150)
            try:
                if check("the guest boots without a line named GPIO4", booted is not None):
                    # Unpacked, and udevd reads the new rule before the group
                    # exists (apt unpacking other packages before configuring).
                    guest.run("dpkg --unpack /corvexd.deb && sleep 4 && udevadm trigger --settle "
                              "--subsystem-match=gpio --action=change", 300)
                    guest.apt("apt-get install -f -y")
                    owner = guest.run("stat -c %G:%a /dev/gpiochip0")[1].strip()
                    check("configured after udevd read its rule, the GPIO chip is the gpio "
                          "group's", owner == "gpio:660", owner)
                    guest.run("systemctl enable --now corvexd.service")
                    message = "corvexd: error when initialising GPIO4, errno=2"
                    deadline = time.monotonic() + 60
                    journal = ""
                    while time.monotonic() < deadline and message not in journal:
                        time.sleep(1)
                        journal = guest.journal()
                    state = guest.unit()
                    check("without GPIO4 the unit fails with the message in its journal",
                          message in journal and state.get("ActiveState") != "active",
                          f"{state} {journal[-500:]}")
            finally:
                guest.stop()
    finally:
        board.terminate()
        board.wait()
    print(f"system-test: {checks.count(True)} of {len(checks)} checks held", flush=True)
    return 0 if all(checks) else 1


if __name__ == "__main__":
    sys.exit(main())
