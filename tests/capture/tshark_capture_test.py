#!/usr/bin/env python3
"""The capture of a run, decoded by Wireshark's command line with the unit's dissector.

usage: tshark_capture_test.py <helmet-update> <helmet-unit.lua> <case>

Each case runs `helmet-update --demo --capture F.pcapng` against the emulated unit (DEMO_TIMING=fast), with --json
and --trace of the same run, then decodes F.pcapng with `tshark -X lua_script:<helmet-unit.lua> -2` and checks:
no malformed frame and no dissector error; every request paired with its answer or its failure; for a whole run,
the requests (block id, address, length, step) equal to those the program sends for the steps its JSON output
names; for a fault of the emulated unit (DEMO_FAULT), an error flagged at the exchange it hit and none before.

HELMET_CAPTURE_FIXTURES=<folder> decodes <folder>/<case>.pcapng instead of the run's own capture (the run still
gives the reference): for working on the dissector apart from the capture writer.
The program is waited for with a generous bound; nothing is asserted on timing.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

BOUND_S = 600

BLK_PING, BLK_GET_MODE, BLK_START, BLK_ERASE, BLK_WRITE, BLK_READ = 3, 4, 6, 7, 8, 9
BLK_FINISH, BLK_GET_VERSION, BLK_GET_FLAGS, BLK_GET_HWID = 10, 12, 13, 14
CHUNK = 65536
BLOCK = 256
IMAGE_STEPS = {0x20000: "bootloader copy 1", 0x80000: "bootloader copy 2", 0x100000: "application"}
SEVERITY_ERROR = 8388608  # Wireshark's PI_ERROR

# The device query: mode, versions, hardware id, flags.
DEVICE_QUERY = [(BLK_PING, 0, 0), (BLK_GET_MODE, 0, 0), (BLK_GET_VERSION, 0, 0), (BLK_GET_HWID, 0, 0),
                (BLK_GET_FLAGS, 0, 0)]

# Whole runs: the command and the demo settings.
RUNS = {
    "plan_145": ("update", {"DEMO_BOOT2_FLAG": "1"}),
    "plan_325": ("update", {"DEMO_BOOT2_FLAG": "0"}),
    "info": ("info", {}),
}

# Every fault kind of the emulated unit: DEMO_FAULT, the request (from 0, in the capture's order) at which the
# dissector flags it, and the words of the flag. Request 7 is the first step's START, 8 its first ERASE, 9 its first
# WRITE and 10 that block's read-back. A fault after which the update goes on (a read-back that differs earns the
# chunk another try) ends it early with a dropped answer later on: the whole update is the whole-run cases' part.
FAULTS = {
    "drop": ("drop@10", 10, "No answer to BLK_READ"),
    "badcrc": ("badcrc@10", 10, "Bad CRC"),
    "wrongid": ("wrongid@10", 10, "The unit refused BLK_READ"),
    "wrongaddress": ("wrongaddress@10,drop@40", 10, "Answer names address 0x00020100, the request 0x00020000"),
    "wronglength": ("wronglength@10,drop@40", 10, "Answer names length 257, the request 256"),
    "wrongdata": ("wrongdata@10=5,drop@40", 10, "Flash at 0x00020005 reads"),
    "shortread": ("shortread@10", 10, "Short block: 100 of 272 bytes"),
    "transient": ("transient=3,drop@40", 10, "Flash at 0x00020003 reads"),
    "stuck": ("stuck=7,drop@40", 10, "Flash at 0x00020007 reads"),
    "slowerase": ("slowerase,drop@12", 8, "No answer to BLK_ERASE"),
    "unplug": ("unplug@10", 10, "Not sent to BLK_READ"),
    "powerloss": ("powerloss@10", 10, "No answer to BLK_READ"),
    "answerloss": ("answerloss@10", 10, "No answer to BLK_READ"),
    "slowanswer": ("slowanswer@10", 10, "No answer to BLK_READ"),
}

FIELDS = ["frame.number", "frame.protocols", "helmet.answer", "helmet.block_id", "helmet.address", "helmet.length",
          "helmet.step", "helmet.request_in", "helmet.response_in", "helmet.crc.status", "_ws.expert.severity",
          "_ws.expert.message"]


def fail(message, detail=""):
    print(f"tshark_capture_test: {message}")
    if detail:
        print(detail[-4000:])
    sys.exit(1)


def expected_requests(steps):
    """The requests of a run: the device query, then per step its probes, START, the programming pass (per 64 KiB
    chunk an erase, then each 256-byte block written and read back), the verification pass and FINISH."""
    requests = [(*r, "device query") for r in DEVICE_QUERY]
    for address, size in steps:
        image = IMAGE_STEPS[address]
        requests += [(BLK_PING, 0, 0, image), (BLK_GET_MODE, 0, 0, image), (BLK_START, address, size, image)]
        for chunk in range(0, size, CHUNK):
            requests.append((BLK_ERASE, address + chunk, min(CHUNK, size - chunk), image))
            for offset in range(chunk, min(chunk + CHUNK, size), BLOCK):
                length = min(BLOCK, size - offset)
                requests += [(BLK_WRITE, address + offset, length, image), (BLK_READ, address + offset, length, image)]
        for offset in range(0, size, BLOCK):
            requests.append((BLK_READ, address + offset, min(BLOCK, size - offset), "verify"))
        requests.append((BLK_FINISH, address, size, image))
    return requests


def run_program(program, command, settings, folder, capture):
    env = dict(os.environ, DEMO_TIMING="fast", LANG="en_US.UTF-8", LC_ALL="", LC_MESSAGES="", LANGUAGE="")
    for name in ("DEMO_FAULT", "DEMO_BOOT2_FLAG", "DEMO_UNIT_MODE", "DEMO_UNITS", "DEMO_APP_VERSION", "DEMO_HWID"):
        env.pop(name, None)
    env.update(settings)
    trace = os.path.join(folder, "trace.log")
    args = [program, command, "--demo", "--json", "--trace", trace]
    if command == "update":
        args.append("--yes")
    if capture:
        args += ["--capture", capture]
    done = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=BOUND_S, check=False)
    events = []
    for line in done.stdout.splitlines():
        try:
            events.append(json.loads(line))
        except json.JSONDecodeError:
            fail(f"not a JSON line: {line!r}", done.stdout + done.stderr)
    return done, events


def decode(dissector, capture):
    args = ["tshark", "-n", "-X", f"lua_script:{dissector}", "-r", capture, "-2", "-T", "fields",
            "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    for field in FIELDS:
        args += ["-e", field]
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=BOUND_S,
                          check=False)
    # tshark run as root (as in CI) warns about it on standard error; anything naming Lua is the dissector failing.
    lua_errors = [line for line in done.stderr.splitlines() if "lua" in line.lower()]
    if done.returncode != 0 or lua_errors:
        fail(f"tshark exit {done.returncode}", done.stderr)
    rows = []
    for line in done.stdout.splitlines():
        values = line.split("\t")
        values += [""] * (len(FIELDS) - len(values))
        rows.append(dict(zip(FIELDS, values)))
    return rows


def exchanges(rows):
    """The requests in the capture's order, each with its answer's (or failure's) row, checked for pairing."""
    malformed = [r["frame.number"] for r in rows if "malformed" in r["frame.protocols"] or
                 "Lua Error" in r["_ws.expert.message"]]
    if malformed:
        fail(f"malformed or dissector errors in frames {malformed[:10]}")
    helmet = [r for r in rows if r["helmet.answer"] != ""]
    by_frame = {r["frame.number"]: r for r in helmet}
    requests = [r for r in helmet if r["helmet.answer"] == "0"]
    answers = [r for r in helmet if r["helmet.answer"] == "1"]
    if not requests:
        fail("no block of the unit decoded: the dissector did not take the capture")
    pairs = []
    for request in requests:
        answer = by_frame.get(request["helmet.response_in"])
        if answer is None or answer["helmet.request_in"] != request["frame.number"]:
            fail(f"the request in frame {request['frame.number']} is not paired with an answer")
        pairs.append((request, answer))
    if len(answers) != len(requests):
        fail(f"{len(requests)} requests, {len(answers)} answers or failures")
    return pairs


def request_tuple(row):
    return (int(row["helmet.block_id"]), int(row["helmet.address"], 0), int(row["helmet.length"]),
            row["helmet.step"])


def errors_of(row):
    severities = row["_ws.expert.severity"].split("|") if row["_ws.expert.severity"] else []
    messages = row["_ws.expert.message"].split("|") if row["_ws.expert.message"] else []
    return [m for s, m in zip(severities, messages) if s and int(s) >= SEVERITY_ERROR]


def check_whole_run(case, pairs, events, done):
    if case == "info":
        steps = []
    else:
        if done.returncode != 0:
            fail(f"the update ended with {done.returncode}", done.stdout + done.stderr)
        steps = [(e["address"], e["size"]) for e in events if e.get("event") == "step"]
        if len(steps) != 3:
            fail(f"{len(steps)} steps in the JSON output, 3 expected", done.stdout)
    expected = expected_requests(steps)
    got = [request_tuple(request) for request, _ in pairs]
    if len(got) != len(expected):
        fail(f"{len(got)} exchanges in the capture, the run made {len(expected)}")
    for index, (have, want) in enumerate(zip(got, expected)):
        if have != want:
            fail(f"request {index} (frame {pairs[index][0]['frame.number']}) is {have}, {want} was sent")
    for request, answer in pairs:
        for row in (request, answer):
            if errors_of(row) or row["helmet.crc.status"] not in ("1",):
                fail(f"frame {row['frame.number']} of a clean run is flagged: {row['_ws.expert.message']} "
                     f"(CRC status {row['helmet.crc.status']})")
    print(f"{case}: {len(pairs)} exchanges decoded and equal to the run's")


def check_fault(case, pairs):
    _, index, words = FAULTS[case]
    if len(pairs) <= index:
        fail(f"the capture has {len(pairs)} exchanges, the fault hit request {index}")
    for number, (request, answer) in enumerate(pairs[:index]):
        if errors_of(request) or errors_of(answer):
            fail(f"request {number} before the fault is flagged: {errors_of(request) + errors_of(answer)}")
    request, answer = pairs[index]
    flagged = errors_of(request) + errors_of(answer)
    if not any(words in message for message in flagged):
        fail(f"request {index} (frame {request['frame.number']}) is not flagged with \"{words}\": {flagged}")
    print(f"{case}: flagged at request {index}: {[m for m in flagged if words in m][0]}")


def main():
    if len(sys.argv) != 4:
        fail("usage: tshark_capture_test.py <helmet-update> <helmet-unit.lua> <case>")
    program, dissector, case = sys.argv[1:]
    if case in RUNS:
        command, settings = RUNS[case]
    elif case in FAULTS:
        command, settings = "update", {"DEMO_FAULT": FAULTS[case][0]}
    else:
        fail(f"no case {case}")
    if shutil.which("tshark") is None:
        fail("tshark is not installed (scripts/setup.sh installs it)")

    folder = tempfile.mkdtemp(prefix=f"tshark_capture_{case}_{os.getpid()}_")
    try:
        fixtures = os.environ.get("HELMET_CAPTURE_FIXTURES")
        capture = os.path.join(fixtures, f"{case}.pcapng") if fixtures else os.path.join(folder, "run.pcapng")
        done, events = run_program(program, command, settings, folder, None if fixtures else capture)
        if not os.path.exists(capture):
            fail(f"no capture written (exit {done.returncode})", done.stdout + done.stderr)
        pairs = exchanges(decode(dissector, capture))
        if case in FAULTS:
            check_fault(case, pairs)
        else:
            check_whole_run(case, pairs, events, done)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
