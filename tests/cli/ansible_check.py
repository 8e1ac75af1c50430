#!/usr/bin/env python3
"""The Ansible example play, run as a bench line would run it.

Two inventory hosts on this machine (ansible_connection=local), each with its
own XDG_CONFIG_HOME and its own simulators on 127.0.0.1: bench-a's devices
all answer, one of bench-b's never does. The play must program every device
it can, fail bench-b alone and name its silent device with the reason, and
bring both journals home. A second run resumes: bench-a's devices are
skipped. Exit 77 (skipped) without ansible-playbook.

Usage: ansible_check.py PLAY MIRTO_CLI MIRTO_SIM
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

PLAY, CLI, SIM = (os.path.abspath(p) for p in sys.argv[1:4])
PLAYBOOK = shutil.which("ansible-playbook")
if not PLAYBOOK:
    print("ansible_check: ansible-playbook is not installed (package ansible-core); skipped")
    sys.exit(77)

failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


class Sim:
    def __init__(self, env, *arguments):
        self.process = subprocess.Popen([SIM, "--no-tcp", *arguments], env=env, stdout=subprocess.PIPE, text=True)
        banner = self.process.stdout.readline()
        self.com = "COM" + re.search(r"COM(\d+)", banner).group(1)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def journal(path):
    if not os.path.exists(path):
        failures.append("no journal fetched to " + path)
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def main():
    work = tempfile.TemporaryDirectory()
    config = os.path.join(work.name, "studio.cfg")
    with open(config, "w", newline="") as f:
        f.write("12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\nIPAddress=192.0.2.10\r\n"
                "Gateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\nNetwork=F\r\n"
                "ch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n")
    benches = {"bench-a": [("--serial", "1A001"), ("--serial", "1A002")],
               "bench-b": [("--serial", "2B001"), ("--serial", "2B002", "--silent")]}
    sims = []
    inventory = ["[benches]"]
    try:
        for host, devices in benches.items():
            folder = os.path.join(work.name, host)
            os.makedirs(folder)
            env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"),
                       XDG_STATE_HOME=os.path.join(folder, "state"))
            ports = []
            for arguments in devices:
                sims.append(Sim(env, *arguments))
                ports.append(sims[-1].com)
            with open(os.path.join(folder, "bench.ports"), "w") as f:
                f.write("# %s\n%s\n" % (host, "\n".join(ports)))
            environment = json.dumps({"XDG_CONFIG_HOME": env["XDG_CONFIG_HOME"],
                                      "XDG_STATE_HOME": env["XDG_STATE_HOME"]})
            inventory.append("%s ansible_connection=local ansible_python_interpreter=%s mirto_folder=%s "
                             "'mirto_environment=%s'" % (host, sys.executable, folder, environment))
        with open(os.path.join(work.name, "inventory.ini"), "w") as f:
            f.write("\n".join(inventory) + "\n")

        results = os.path.join(work.name, "results")
        extra = json.dumps({"mirto_cli": CLI, "mirto_job": ["program"], "mirto_file": config,
                            "mirto_results": results})
        env = dict(os.environ, ANSIBLE_LOCAL_TEMP=os.path.join(work.name, "ansible-local"),
                   ANSIBLE_REMOTE_TEMP=os.path.join(work.name, "ansible-remote"),
                   ANSIBLE_HOME=os.path.join(work.name, "ansible-home"),
                   ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_HOST_KEY_CHECKING="0",
                   ANSIBLE_STDOUT_CALLBACK="default")
        command = [PLAYBOOK, "-i", os.path.join(work.name, "inventory.ini"), PLAY, "-e", extra]

        first = subprocess.run(command, env=env, cwd=work.name, capture_output=True, text=True, timeout=600)
        out = first.stdout + first.stderr
        recap = dict(re.findall(r"^(bench-[ab])\s*:\s*(.*)$", out, re.M))
        expect(first.returncode == 2, "first run: ansible-playbook exit %d, wanted 2 (a host failed)\n%s"
               % (first.returncode, out))
        expect("failed=0" in recap.get("bench-a", ""), "bench-a failed: %s" % recap.get("bench-a"))
        expect("failed=1" in recap.get("bench-b", ""), "bench-b did not fail: %s" % recap.get("bench-b"))
        expect(sims[3].com + ": no-response" in out, "the failure does not name %s: no-response\n%s"
               % (sims[3].com, out))
        a = journal(os.path.join(results, "bench-a", "mirto-journal.jsonl"))
        b = journal(os.path.join(results, "bench-b", "mirto-journal.jsonl"))
        # A unit that told its serial number is journaled by it, with its port.
        expect(sorted((l.get("port", l["device"]), l["ok"]) for l in a) == [(sims[0].com, True), (sims[1].com, True)]
               or sims[0].com == sims[1].com, "bench-a's journal: %s" % a)
        expect(sorted(l["ok"] for l in b) == [False, True], "bench-b's journal: %s" % b)
        expect(all(l.get("schema") == 1 and l.get("command") == "program" for l in a + b),
               "journal lines without their schema or command: %s" % (a + b))

        # A retried job: every device bench-a's journal shows done is skipped.
        second = subprocess.run(command, env=env, cwd=work.name, capture_output=True, text=True, timeout=600)
        out = second.stdout + second.stderr
        expect(second.returncode == 2, "second run: exit %d\n%s" % (second.returncode, out))
        a2 = journal(os.path.join(results, "bench-a", "mirto-journal.jsonl"))
        expect(a2 == a, "bench-a's devices were run again: %s" % a2)
        b2 = journal(os.path.join(results, "bench-b", "mirto-journal.jsonl"))
        expect(len(b2) == 3 and b2[-1]["ok"] is False, "bench-b's failed device was not tried again: %s" % b2)
    finally:
        for sim in sims:
            sim.stop()
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


sys.exit(main())
