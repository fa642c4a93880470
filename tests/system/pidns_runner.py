"""PID 1 of a throw-away PID namespace for the forced-shutdown tests.

Run as:  unshare --pid --fork --mount-proc --kill-child /usr/bin/python3 pidns_runner.py CONFIG_JSON

It refuses to do anything unless it is PID 1 of a PID namespace other than the
test's, with a /proc that shows that namespace. Then it starts the victims
named in the config (each a link to `sleep` under its own name, optionally as
another user or as an orphan), starts Vessik, and reports on standard output,
one JSON object a line:

    {"ready": {name: pid, ...}, "vessik": pid}
    {"exited": name, "signal": N or null}     for every child it reaps (orphans included)
    {"alive": [name, ...]}                    in answer to "alive"

Commands on standard input: "lock" sends SIGUSR1 to Vessik (its lock test hook),
"alive" lists the children still running. At the end of its input it kills
whatever it started and exits. Every signal it sends goes to its own children,
inside its own namespace.
"""

import json
import os
import select
import signal
import subprocess
import sys
import time


KEEP = []


def report(**message):
    print(json.dumps(message), flush=True)


def refuse(reason):
    report(refused=reason)
    sys.exit(3)


def check_namespace(test_namespace):
    if os.getpid() != 1:
        refuse("not PID 1 of a new PID namespace")
    if os.readlink("/proc/self") != "1":
        refuse("/proc shows another PID namespace (missing --mount-proc)")
    if os.readlink("/proc/self/ns/pid") == test_namespace:
        refuse("still in the test's PID namespace")


def start_victim(bin_dir, victim):
    path = os.path.join(bin_dir, victim["name"])
    if not os.path.lexists(path):
        os.symlink("/usr/bin/sleep", path)
    argv = [path, "1000"]
    if victim.get("uid") is not None:
        uid = str(victim["uid"])
        argv = ["setpriv", "--reuid", uid, "--regid", uid, "--clear-groups"] + argv
    if victim.get("orphan"):
        # Its parent shell exits at once: the victim is re-parented to us.
        out = subprocess.run(["/bin/sh", "-c", '"$@" >/dev/null 2>&1 & echo $!', "sh"] + argv,
                             check=True, stdout=subprocess.PIPE, text=True).stdout
        return int(out.strip())
    proc = subprocess.Popen(argv)
    KEEP.append(proc)  # a dropped Popen could be reaped behind our back
    return proc.pid


def wait_for_lock_hook(pid, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/%d/status" % pid) as f:
            caught = next(line for line in f if line.startswith("SigCgt:")).split()[1]
        if int(caught, 16) & (1 << (signal.SIGUSR1 - 1)):
            return True
        time.sleep(0.02)
    return False


def main():
    config = json.loads(sys.argv[1])
    check_namespace(config["test_pid_namespace"])

    bin_dir = os.path.join(config["workdir"], "bin")
    os.makedirs(bin_dir, mode=0o755, exist_ok=True)
    children = {}  # pid -> name
    for victim in config["victims"]:
        children[start_victim(bin_dir, victim)] = victim["name"]
    with open(config["vessik_log"], "wb") as log:
        vessik = subprocess.Popen(config["vessik"], env=config["env"], stdout=log, stderr=subprocess.STDOUT)
    children[vessik.pid] = "(Vessik)"
    report(ready={name: pid for pid, name in children.items()}, vessik=vessik.pid)

    open_input = True
    while open_input:
        readable, _, _ = select.select([sys.stdin], [], [], 0.02)
        if readable:
            line = sys.stdin.readline()
            if not line:
                open_input = False
            elif line.strip() == "lock":
                if not wait_for_lock_hook(vessik.pid):
                    report(error="Vessik never installed its lock hook")
                os.kill(vessik.pid, signal.SIGUSR1)
            elif line.strip() == "alive":
                report(alive=sorted(children.values()))
        reap(children)

    for pid in list(children):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    while children:
        reap(children, block=True)


def reap(children, block=False):
    """Collects every child that has ended, orphans included, and reports the ones we started."""
    while True:
        try:
            pid, status = os.waitpid(-1, 0 if block else os.WNOHANG)
        except ChildProcessError:
            children.clear()
            return
        if pid == 0:
            return
        name = children.pop(pid, None)
        if name is not None:
            report(exited=name, signal=os.WTERMSIG(status) if os.WIFSIGNALED(status) else None)
        if block:
            return


if __name__ == "__main__":
    main()
