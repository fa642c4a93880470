"""PID 1 of a throw-away PID namespace for the forced-shutdown tests.

Run as:  unshare --pid --fork --mount-proc --kill-child /usr/bin/python3 pidns_runner.py CONFIG_JSON

It refuses to do anything unless it is PID 1 of a PID namespace other than the
test's, with a /proc that shows that namespace, in a mount namespace of its own.
Then it starts the victims named in the config (each a link to `sleep` under its
own name, optionally as another user or as an orphan): first those marked
"outside_session", then it becomes the leader of a login session of its own, as
a login program would, and starts the others and Vessik in that session. It
reports on standard output, one JSON object a line:

    {"ready": {name: pid, ...}, "vessik": pid, "session": "audit" or "scope"}
    {"exited": name, "signal": N or null}     for every child it reaps (orphans included)
    {"alive": [name, ...], "guarded": bool}   in answer to "alive"; guarded: Vessik has its
                                              guard (a child process named "Vessik")

Commands on standard input: "lock" sends SIGUSR1 to Vessik (its lock test hook),
"alive" lists the children still running. At the end of its input it kills
whatever it started and exits. Every signal it sends goes to its own children,
inside its own namespace.
"""

import json
import os
import re
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


def check_namespace(config):
    if os.getpid() != 1:
        refuse("not PID 1 of a new PID namespace")
    if os.readlink("/proc/self") != "1":
        refuse("/proc shows another PID namespace (missing --mount-proc)")
    if os.readlink("/proc/self/ns/pid") == config["test_pid_namespace"]:
        refuse("still in the test's PID namespace")
    if os.readlink("/proc/self/ns/mnt") == config["test_mount_namespace"]:
        refuse("still in the test's mount namespace")


def lead_a_session():
    """Makes this process the leader of a login session, as Vessik finds sessions.

    Inside a logind session scope (a test started from a desktop) every process
    here shares that scope. Elsewhere, a new audit session id (set by writing
    the login uid) starts a session that only the processes started from now on
    share. Either way logind's record of the session, on a tmpfs of this mount
    namespace, names this process its leader, which Vessik spares.
    Returns "scope" or "audit".
    """
    with open("/proc/self/cgroup") as f:
        scope = re.search(r"/session-([^/\n]+)\.scope(/|$)", f.read(), re.M)
    if scope:
        session, kind = scope.group(1), "scope"
    else:
        try:
            with open("/proc/self/loginuid", "w") as f:
                f.write("0")
        except OSError as e:
            refuse("cannot start an audit session: %s" % e)
        with open("/proc/self/sessionid") as f:
            session, kind = f.read().strip(), "audit"
    records = "/run/systemd/sessions"
    mount_point = next(p for p in (records, os.path.dirname(records), "/run") if os.path.isdir(p))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", mount_point], check=True)
    os.makedirs(records, exist_ok=True)
    with open(os.path.join(records, session), "w") as f:
        f.write("UID=0\nACTIVE=1\nLEADER=%d\n" % os.getpid())
    return kind


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
    check_namespace(config)

    bin_dir = os.path.join(config["workdir"], "bin")
    os.makedirs(bin_dir, mode=0o755, exist_ok=True)
    children = {}  # pid -> name
    victims = sorted(config["victims"], key=lambda v: not v.get("outside_session"))
    session = None
    for victim in victims:
        if not victim.get("outside_session") and session is None:
            session = lead_a_session()
        children[start_victim(bin_dir, victim)] = victim["name"]
    if session is None:
        session = lead_a_session()
    with open(config["vessik_log"], "wb") as log:
        vessik = subprocess.Popen(config["vessik"], env=config["env"], stdout=log, stderr=subprocess.STDOUT)
    children[vessik.pid] = "(Vessik)"
    report(ready={name: pid for pid, name in children.items()}, vessik=vessik.pid, session=session)

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
                report(alive=sorted(children.values()), guarded=guarded(vessik.pid))
        reap(children)

    for pid in list(children):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    while children:
        reap(children, block=True)


def guarded(pid):
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                name, fields = f.read().split(" (", 1)[1].rsplit(")", 1)
        except (OSError, IndexError):
            continue
        if name == "Vessik" and int(fields.split()[1]) == pid and fields.split()[0] != "Z":
            return True
    return False


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
