#!/usr/bin/env python3
"""Every kind of object mirto-cli prints with --json, and every journal line,
checked against the installed JSON Schema.

Runs mirto-cli against simulators on 127.0.0.1 (private config and state
folders) so that it prints each kind: ports, progress, results that succeed,
fail for each reason the simulator can provoke, are not found or not
started, are skipped by --resume, the journal's lines and --plan's objects.
Each line must carry "schema": 1, match exactly one kind of the schema and
hold no field the schema does not describe. Exit 77 (skipped) without
python3-jsonschema.

Usage: schema_check.py SCHEMA MIRTO_CLI MIRTO_SIM
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("schema_check: python3-jsonschema is not installed; skipped")
    sys.exit(77)

SCHEMA_PATH, CLI, SIM = sys.argv[1:4]
SCHEMA = json.load(open(SCHEMA_PATH))
jsonschema.Draft202012Validator.check_schema(SCHEMA)
KINDS = ["port", "progress", "result", "journal", "plan"]


def kind_validator(kind):
    return jsonschema.Draft202012Validator({"$ref": "#/$defs/" + kind, "$defs": SCHEMA["$defs"]})


VALIDATORS = {kind: kind_validator(kind) for kind in KINDS}
WHOLE = jsonschema.Draft202012Validator(SCHEMA)
DEFS = SCHEMA["$defs"]
DECLARED = {
    "port": set(DEFS["port"]["properties"]),
    "progress": set(DEFS["progress"]["properties"]),
    "result": set(DEFS["outcome"]["properties"]),
    "journal": set(DEFS["outcome"]["properties"]) | set(DEFS["journal"]["allOf"][1]["properties"]),
    "plan": set(DEFS["plan"]["properties"]),
}
STEP_KEYS = set(DEFS["step"]["properties"])

failures = []
seen = {}  # kind -> set of what was seen (reasons, outcomes)


def check(line, where):
    try:
        obj = json.loads(line)
    except ValueError:
        failures.append("%s: not JSON: %r" % (where, line))
        return None
    errors = sorted(WHOLE.iter_errors(obj), key=str)
    kinds = [k for k in KINDS if VALIDATORS[k].is_valid(obj)]
    if errors or len(kinds) != 1:
        detail = "; ".join(e.message for e in errors[:3]) or "matches %s" % kinds
        failures.append("%s: %s: %s" % (where, line, detail))
        return None
    kind = kinds[0]
    undeclared = set(obj) - DECLARED[kind]
    for step in obj.get("steps", []) if kind == "plan" else []:
        undeclared |= set(step) - STEP_KEYS
    if undeclared:
        failures.append("%s: %s holds fields the schema does not describe: %s" % (where, line, sorted(undeclared)))
    label = "skipped" if obj.get("skipped") else "ok" if obj.get("ok") else obj.get("reason", "")
    seen.setdefault(kind, set()).add(label)
    return obj


def closed_address(held):
    """An address on 127.0.0.1 where nothing listens: a port bound and held,
    never listened on, refuses every connection."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
    return "127.0.0.1:%d" % s.getsockname()[1]


class Sim:
    def __init__(self, env, *arguments):
        self.process = subprocess.Popen([SIM, "--tcp-port", "0", *arguments], env=env,
                                        stdout=subprocess.PIPE, text=True)
        self.banner = self.process.stdout.readline()
        self.com = "COM" + re.search(r"COM(\d+)", self.banner).group(1)
        self.host = "127.0.0.1:" + re.search(r"TCP 127\.0\.0\.1:(\d+)", self.banner).group(1)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def check_reason_words():
    """The schema's reason words are the ones --help lists: a word the tool
    gained must not make its objects invalid."""
    help_text = subprocess.run([CLI, "--help"], capture_output=True, text=True, timeout=60).stdout
    listed = re.search(r"one of:\s*(.*?)\.\n", help_text, re.S)
    if not listed:
        failures.append("--help lists no reason words")
        return
    words = {w.strip() for w in listed.group(1).split(",")}
    if words != set(DEFS["reason"]["enum"]):
        failures.append("reason words: --help %s, schema %s" % (sorted(words), sorted(DEFS["reason"]["enum"])))


def main():
    check_reason_words()
    work = tempfile.TemporaryDirectory()
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work.name, "config"),
               XDG_STATE_HOME=os.path.join(work.name, "state"))
    journal = os.path.join(work.name, "journal.jsonl")
    config = os.path.join(work.name, "studio.cfg")
    with open(config, "w", newline="") as f:
        f.write("12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\nIPAddress=192.0.2.10\r\n"
                "Gateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\nNetwork=F\r\n"
                "ch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n")
    firmware = os.path.join(work.name, "fw.hex")
    with open(firmware, "w") as f:
        # 64 bytes of data: a few pages, so that progress is printed.
        for address in range(0, 1024, 16):
            data = [(address + i) & 0xFF for i in range(16)]
            record = [16, address >> 8, address & 0xFF, 0] + data
            f.write(":" + "".join("%02X" % b for b in record) + "%02X\n" % (-sum(record) & 0xFF))
        f.write(":00000001FF\n")
    commands = os.path.join(work.name, "commands.txt")
    with open(commands, "w") as f:
        f.write("# a command file\nver\n\nhelp\n")

    sims = []
    held = []

    def sim(*arguments):
        sims.append(Sim(env, *arguments))
        return sims[-1]

    try:
        good = sim("--serial", "12AB3")
        twin = sim("--serial", "12AB3")  # the same serial number twice: ambiguous
        silent = sim("--silent", "--serial", "44444")
        withhold = sim("--withhold", "help", "--serial", "55555")
        unplug = sim("--unplug-at", "help", "--serial", "66666")
        refuse = sim("--withhold", "mode", "--serial", "77777")
        no_loader = sim("--no-start-token", "--serial", "88888")
        no_serial = sim("--no-serial-word", "--serial", "99999")
        closed = closed_address(held)
        closed2 = closed_address(held)

        runs = [
            ["ports"],
            ["--port", good.com, "identify"],
            ["--host", good.host, "--port", no_serial.com, "--host", silent.host, "--host", closed, "identify"],
            ["--port", good.com, "--port", withhold.com, "--port", unplug.com, "send", "ver", "help"],
            ["--port", good.com, "send", "--file", commands],
            ["--port", good.com, "--port", refuse.com, "program", config],
            ["--port", good.com, "--port", no_loader.com, "--reset", "--wait", "5", "update", firmware],
            ["--serial", "12AB3", "--serial", "00000", "identify"],
            ["--jobs", "1", "--max-failures", "1", "--host", closed, "--host", closed2, "identify"],
            ["--journal", journal, "--port", good.com, "--host", closed, "identify"],
            ["--journal", journal, "--resume", "--port", good.com, "--host", closed, "identify"],
            ["--journal", journal, "--resume", "--plan", "--port", good.com, "--host", closed, "identify"],
            ["--plan", "--port", good.com, "--serial", "12AB3", "program", config],
            ["--plan", "--port", good.com, "--wait", "30", "update", firmware],
            ["--plan", "--port", good.com, "send", "--file", commands],
        ]
        for arguments in runs:
            where = "mirto-cli --json " + " ".join(arguments)
            run = subprocess.run([CLI, "--json", *arguments], env=env, capture_output=True, text=True, timeout=120)
            if run.returncode not in (0, 1):
                failures.append("%s: exit status %d: %s" % (where, run.returncode, run.stderr.strip()))
            lines = [line for line in run.stdout.splitlines() if line.strip()]
            if not lines:
                failures.append("%s: printed nothing" % where)
            for line in lines:
                check(line, where)
        with open(journal) as f:
            for line in f:
                check(line, "journal")
    finally:
        for s in sims:
            s.stop()
        for s in held:
            s.close()

    wanted = {
        "port": {""},
        "progress": {""},
        "plan": {""},
        "result": {"ok", "skipped", "no-response", "went-away", "cannot-open", "not-identified", "refused",
                   "update-failed", "not-found", "ambiguous", "not-started"},
        "journal": {"ok", "cannot-open"},
    }
    for kind, labels in wanted.items():
        missing = labels - seen.get(kind, set())
        if missing:
            failures.append("no %s object seen for %s (seen: %s)" % (kind, sorted(missing), sorted(seen.get(kind, []))))
    for failure in failures:
        print("FAIL: " + failure)
    print("checked: " + ", ".join("%s %s" % (k, sorted(v)) for k, v in sorted(seen.items())))
    return 1 if failures else 0


sys.exit(main())
