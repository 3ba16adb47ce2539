#!/usr/bin/env python3
"""helmet-update as a process of its own under signals, closed pipes and a closed terminal.

usage: signals_test.py <helmet-update> <case>

Each case runs `helmet-update update --demo` against the emulated unit (DEMO_TIMING=fast) and checks the
outcome: the exit status, the output and the --trace file. The first erase after programming began (request
1034) is made slow, so that a signal sent once the output shows the writing has begun lands while a block is in
flight. The program is waited for with a generous bound; nothing is asserted on timing.
"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time

IN_FLIGHT_FAULT = "slowerase@1034=3000"  # ms; the host waits up to 20 s for an erase
BOUND_S = 120
TERMINATION_LINE = "Update cancelled: the program was asked to end ({})."


def environment(fault=True):
    env = dict(os.environ, DEMO_TIMING="fast", LANG="en_US.UTF-8", LC_ALL="", LC_MESSAGES="", LANGUAGE="")
    env.pop("DEMO_FAULT", None)
    if fault:
        env["DEMO_FAULT"] = IN_FLIGHT_FAULT
    return env


def fail(message, output="", trace=None):
    print(f"signals_test: {message}")
    if output:
        print("--- output ---\n" + output[-3000:])
    if trace is not None:
        print("--- trace ---\n" + "\n".join(trace[-30:]))
    sys.exit(1)


def read_trace(path):
    with open(path, encoding="utf-8", errors="replace") as file:
        return [line.rstrip("\r\n") for line in file]


def wait_for_text(read, text, process_done):
    """Calls read() (which returns everything seen so far) until `text` shows or the program has ended."""
    deadline = time.monotonic() + BOUND_S
    while time.monotonic() < deadline:
        seen = read()
        if text in seen:
            return seen
        if process_done():
            return read()
        time.sleep(0.02)
    return read()


def check_cancelled_by(trace, output, what):
    """The update ended as a confirmed cancel: one termination line, the step's worker ended on the cancel
    (its reset sent), nothing written after it."""
    line = TERMINATION_LINE.format(what)
    at = [i for i, text in enumerate(trace) if line in text]
    if len(at) != 1:
        fail(f"expected one line '{line}', found {len(at)}", output, trace)
    ended = [i for i, text in enumerate(trace) if "SendUpdateResult = 10" in text]
    if not ended:
        fail("the step's worker did not end on the cancel (no SendUpdateResult = 10)", output, trace)
    after = trace[ended[-1]:]
    if any("Program Device" in text or "Verify Device" in text or "Update Firmware from" in text for text in after):
        fail("something was written after the cancel", output, trace)
    if "completed successfully" in output:
        fail("the update reported success", output, trace)


def run_in_pipe(program, trace_path, signals):
    """The program with its output in a pipe; each (signal, delay) is sent once writing has begun."""
    process = subprocess.Popen([program, "update", "--demo", "--yes", "--trace", trace_path], env=environment(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    os.set_blocking(process.stdout.fileno(), False)
    seen = bytearray()

    def read():
        try:
            chunk = process.stdout.read()
            if chunk:
                seen.extend(chunk)
        except BlockingIOError:
            pass
        return seen.decode(errors="replace")

    output = wait_for_text(read, "Program bootloader 1!", lambda: process.poll() is not None)
    if "Program bootloader 1!" not in output:
        process.kill()
        fail("the writing never began", output)
    for sig, delay in signals:
        time.sleep(delay)
        process.send_signal(sig)
    try:
        status = process.wait(timeout=BOUND_S)
    except subprocess.TimeoutExpired:
        process.kill()
        fail("the program did not end", read())
    os.set_blocking(process.stdout.fileno(), True)
    rest = process.stdout.read()
    seen.extend(rest)
    return status, seen.decode(errors="replace")


def case_signal(program, trace_path, name, signals):
    status, output = run_in_pipe(program, trace_path, signals)
    trace = read_trace(trace_path)
    if status != 10:
        fail(f"status {status}, expected 10", output, trace)
    if "Exit status: 10" not in output:
        fail("no 'Exit status: 10'", output, trace)
    check_cancelled_by(trace, output, name)


def case_sigterm(program, trace_path):
    case_signal(program, trace_path, "SIGTERM", [(signal.SIGTERM, 0)])


def case_sighup(program, trace_path):
    case_signal(program, trace_path, "SIGHUP", [(signal.SIGHUP, 0)])


def case_second_sigterm(program, trace_path):
    # More requests and a Ctrl+C while the cancel is carried out (the erase in flight takes seconds).
    case_signal(program, trace_path, "SIGTERM",
                [(signal.SIGTERM, 0), (signal.SIGTERM, 0.2), (signal.SIGHUP, 0.1), (signal.SIGINT, 0.1)])


def case_head(program, trace_path):
    # `| head -3` closes the pipe while bootloader copy 1 is written: the update still completes.
    command = f"set -o pipefail; '{program}' update --demo --yes --trace '{trace_path}' | head -3"
    result = subprocess.run(["bash", "-c", command], env=environment(fault=False), stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=BOUND_S)
    trace = read_trace(trace_path)
    if result.returncode != 0:
        fail(f"status {result.returncode}, expected 0 (stderr: {result.stderr})", result.stdout, trace)
    if len(result.stdout.splitlines()) != 3:
        fail("head did not show three lines", result.stdout)
    if sum("SendUpdateResult = 0" in text for text in trace) != 3:
        fail("the three steps did not all complete", result.stdout, trace)


class Pty:
    """The program on a pseudo-terminal of its own (its controlling terminal)."""

    def __init__(self, program, trace_path, fault):
        env = environment(fault)
        env["TERM"] = "xterm"
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(program, [program, "update", "--demo", "--yes", "--trace", trace_path], env)
        self.seen = bytearray()
        self.status = None

    def read(self):
        while self.fd is not None and select.select([self.fd], [], [], 0)[0]:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.seen.extend(chunk)
        return self.seen.decode(errors="replace")

    def done(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid != 0:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status is not None

    def wait_for(self, text):
        return wait_for_text(self.read, text, self.done)

    def write(self, data):
        os.write(self.fd, data)

    def close(self):
        os.close(self.fd)
        self.fd = None

    def wait(self):
        deadline = time.monotonic() + BOUND_S
        while not self.done():
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                fail("the program did not end", self.read())
            if self.fd is not None:
                self.read()
            time.sleep(0.02)
        if self.fd is not None:
            self.read()
        return self.status


def case_cancel_after_end(program, trace_path):
    # Ctrl+C asks the cancel question; the update goes on and ends before the answer: its own result stands.
    terminal = Pty(program, trace_path, fault=False)
    output = terminal.wait_for("Program bootloader 1!")
    terminal.write(b"\x03")
    output = terminal.wait_for("Do you really want to abort")
    if "Do you really want to abort" not in output:
        fail("Ctrl+C did not ask", output)
    output = terminal.wait_for("Firmware update completed successfully!")
    terminal.write(b"y\n")
    status = terminal.wait()
    output = terminal.read()
    if status != 0:
        fail(f"status {status}, expected 0", output)
    if "Firmware update completed successfully!" not in output or "Exit status: 0" not in output:
        fail("no success message", output)


def case_terminal_closed(program, trace_path):
    # The terminal goes away mid-write: SIGHUP, and every later write to it fails. The unit is still reset.
    terminal = Pty(program, trace_path, fault=True)
    output = terminal.wait_for("Program bootloader 1!")
    if "Program bootloader 1!" not in output:
        fail("the writing never began", output)
    terminal.close()
    status = terminal.wait()
    trace = read_trace(trace_path)
    if status != 10:
        fail(f"status {status}, expected 10", output, trace)
    check_cancelled_by(trace, output, "SIGHUP")


CASES = {
    "sigterm": case_sigterm,
    "sighup": case_sighup,
    "second_sigterm": case_second_sigterm,
    "head": case_head,
    "cancel_after_end": case_cancel_after_end,
    "terminal_closed": case_terminal_closed,
}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(__doc__)
        print("cases: " + ", ".join(CASES))
        return 2
    program = os.path.realpath(sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        CASES[sys.argv[2]](program, os.path.join(folder, "trace.log"))
    print(f"signals_test {sys.argv[2]}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
