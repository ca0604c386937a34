#!/usr/bin/env python3
"""Runs the shipped program under a hostile process environment and writes
the table of what each run answered into docs/reliability.md.

    scripts/hostile-process-report.py build/anchorfs [docs/reliability.md]

Every row is a real run on a scratch root below /tmp: the condition, the
command, the exit status (or signal), the output and the tree afterwards.
"""
import os, resource, shutil, signal, subprocess, sys, tempfile, time, select

BEGIN = "<!-- hostile process: begin (written by scripts/hostile-process-report.py) -->"
END = "<!-- hostile process: end -->"
program = os.path.abspath(sys.argv[1])
document = sys.argv[2] if len(sys.argv) > 2 else "docs/reliability.md"


def content(size):
    return bytes((ord("a") + i % 23) for i in range(size))


class Root:
    def __init__(self):
        self.container = tempfile.mkdtemp(prefix="anchorfs-hostile.")
        self.path = os.path.join(self.container, "root")
        os.mkdir(self.path, 0o755)
        st = os.stat(self.path)
        self.anchor = [self.path, str(st.st_dev), str(st.st_ino), str(st.st_uid)]

    def args(self, name, *rest):
        return [program, name] + self.anchor + list(rest)

    def at(self, relative):
        return os.path.join(self.path, relative)

    def close(self):
        shutil.rmtree(self.container, ignore_errors=True)


def limits(pairs, default_signals=(), ignored_signals=()):
    def apply():
        for sig in default_signals:
            signal.signal(sig, signal.SIG_DFL)
        for sig in ignored_signals:
            signal.signal(sig, signal.SIG_IGN)
        for resource_id, value in pairs:
            resource.setrlimit(resource_id, (value, value))
    return apply


def status_of(code):
    return f"signal {-code}" if code < 0 else str(code)


def describe_out(out, expected):
    if out == expected:
        return "whole line" + (" and content" if len(expected) > 200 else "")
    if not out:
        return "nothing"
    if expected.startswith(out):
        return f"{len(out)} of {len(expected)} bytes"
    return out.decode(errors="replace").strip()[:60]


def file_state(path, wanted):
    if not os.path.lexists(path):
        return "no file"
    data = open(path, "rb").read()
    return "complete file" if data == wanted else f"{len(data)} of {len(wanted)} bytes under the final name"


rows = []


def row(condition, command, code, out, tree):
    rows.append(f"| {condition} | {command} | {status_of(code)} | {out} | {tree} |")


def run(args, stdin=b"", stdout=subprocess.PIPE, preexec=None, close_stdout=False):
    if close_stdout:
        inner = preexec
        def preexec():
            if inner:
                inner()
            os.close(1)
        stdout = subprocess.DEVNULL
    p = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=stdout, stderr=subprocess.PIPE, env={},
                         preexec_fn=preexec)
    out, err = p.communicate(stdin)
    return p.returncode, out or b"", err


def create_file(condition, size=10, **options):
    r = Root()
    data = content(size)
    code, out, err = run(r.args("create-file", "f", "420", str(size)), data, **options)
    row(condition, f"create-file of {size} bytes", code, describe_out(out, b'{"ok":true}\n'),
        file_state(r.at("f"), data) + (", stderr written" if err else ""))
    r.close()


def ensure_dir(condition, **options):
    r = Root()
    code, out, err = run(r.args("ensure-dir", "made"), **options)
    row(condition, "ensure-dir", code,
        "nothing" if not out else "directory line" if out.startswith(b'{"ok":true,"device"') else out.decode().strip()[:60],
        ("directory made" if os.path.isdir(r.at("made")) else "nothing made") + (", stderr written" if err else ""))
    r.close()


def bookmark_parent(condition, **options):
    r = Root()
    os.mkdir(r.at("d"))
    code, out, err = run(r.args("bookmark-parent", "d/f"), **options)
    row(condition, "bookmark-parent", code, "nothing" if not out else "a line", "unchanged")
    r.close()


def read_private(condition, size, reader):
    r = Root()
    data = content(size)
    with open(r.at("f"), "wb") as f:
        f.write(data)
    os.chmod(r.at("f"), 0o600)
    expected = b'{"ok":true,"size":"%d"}\n' % size + data
    code, out = reader(r.args("read-private-file", "f", str(size)))
    row(condition, f"read-private-file of {size // 1024} KiB", code, describe_out(out, expected), "unchanged")
    r.close()


def slow_nonblocking_reader(args):
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=write_end, stderr=subprocess.PIPE, env={})
    os.close(write_end)
    out = b""
    while True:
        time.sleep(0.001)
        chunk = os.read(read_end, 4096)
        if not chunk:
            break
        out += chunk
    p.wait()
    os.close(read_end)
    return p.returncode, out


def file_size_limited(default_xfsz):
    def reader(args):
        with tempfile.NamedTemporaryFile() as target:
            sigs = (signal.SIGXFSZ,)
            p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=target, stderr=subprocess.PIPE, env={},
                                 preexec_fn=limits([(resource.RLIMIT_FSIZE, 64 * 1024)],
                                                   sigs if default_xfsz else (), () if default_xfsz else sigs))
            p.wait()
            target.seek(0)
            return p.returncode, target.read()
    return reader


def split_nonblocking_stdin(size=100000):
    r = Root()
    data = content(size)
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    p = subprocess.Popen(r.args("create-file", "f", "420", str(size)), stdin=read_end, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env={})
    os.close(read_end)
    try:
        os.write(write_end, data[: size // 2])
        time.sleep(0.05)
        os.write(write_end, data[size // 2:])
    except BrokenPipeError:
        pass  # the run stopped reading
    os.close(write_end)
    out, _ = p.communicate()
    row("stdin a non-blocking pipe, fed in two parts 50 ms apart", f"create-file of {size} bytes", p.returncode,
        describe_out(out, b'{"ok":true}\n'), file_state(r.at("f"), data))
    r.close()


def signal_mid_content(sig, size=100000):
    r = Root()
    data = content(size)
    p = subprocess.Popen(r.args("create-file", "f", "420", str(size)), stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={},
                         preexec_fn=limits([], (sig,)))
    p.stdin.write(data[: size // 2])
    p.stdin.flush()
    time.sleep(0.05)
    p.send_signal(sig)
    time.sleep(0.05)
    try:
        p.stdin.write(data[size // 2:])
        p.stdin.close()
    except BrokenPipeError:
        pass
    out = p.stdout.read()
    p.wait()
    row(f"{signal.Signals(sig).name} half-way through the content", f"create-file of {size} bytes", p.returncode,
        describe_out(out, b'{"ok":true}\n'), file_state(r.at("f"), data))
    r.close()


def descriptor_sweep():
    for name, runner in (("create-file", lambda c, **o: create_file(c, **o)),
                         ("ensure-dir", lambda c, **o: ensure_dir(c, **o))):
        start = len(rows)
        for limit in range(3, 25):
            runner(f"RLIMIT_NOFILE {limit}", preexec=limits([(resource.RLIMIT_NOFILE, limit)]))
        # Consecutive limits with the same answer share one row.
        swept = rows[start:]
        del rows[start:]
        first = 3
        for i, line in enumerate(swept):
            rest = line.split("|", 3)[3]
            last = i + 1 == len(swept) or swept[i + 1].split("|", 3)[3] != rest
            if last:
                limit = 3 + i
                span = f"{first}" if first == limit else f"{first} to {limit}"
                rows.append(f"| RLIMIT_NOFILE {span} |" + line.split("|", 3)[2] + "|" + rest)
                first = limit + 1


create_file("stdout closed", close_stdout=True)
create_file("stdout /dev/full", stdout=open("/dev/full", "wb"))
ensure_dir("stdout /dev/full", stdout=open("/dev/full", "wb"))
bookmark_parent("stdout /dev/full", stdout=open("/dev/full", "wb"))
read_private("stdout a non-blocking pipe, reader 4 KiB a millisecond", 1024 * 1024, slow_nonblocking_reader)
read_private("stdout a file, RLIMIT_FSIZE 64 KiB, SIGXFSZ ignored by the parent", 1024 * 1024,
             file_size_limited(False))
read_private("stdout a file, RLIMIT_FSIZE 64 KiB, SIGXFSZ at its default", 1024 * 1024, file_size_limited(True))
split_nonblocking_stdin()
descriptor_sweep()
create_file("RLIMIT_STACK 64 KiB", 100000, preexec=limits([(resource.RLIMIT_STACK, 64 * 1024)]))
for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
            signal.SIGALRM, signal.SIGPIPE, signal.SIGXFSZ):
    signal_mid_content(sig)
r = Root()
p = subprocess.run(r.args("ensure-dir", "made"), capture_output=True,
                   env={"LD_PRELOAD": "/nonexistent/lib.so", "LD_LIBRARY_PATH": "/nonexistent"})
row("LD_PRELOAD and LD_LIBRARY_PATH naming a missing library", "ensure-dir", p.returncode,
    "directory line" if p.stdout.startswith(b'{"ok":true,"device"') else p.stdout.decode()[:60],
    ("directory made" if os.path.isdir(r.at("made")) else "nothing made")
    + (", stderr: " + p.stderr.decode()[:40] if p.stderr else ", nothing on stderr"))
r.close()

commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
table = "\n".join([
    BEGIN,
    f"Runs of `{os.path.relpath(program)}` on {time.strftime('%Y-%m-%d')} (commit {commit}); exit 11 means the line "
    "was not delivered whole.",
    "",
    "| condition | command | exit | output | tree afterwards |",
    "|---|---|---|---|---|",
] + rows + [END])
text = open(document).read()
if BEGIN in text:
    text = text[: text.index(BEGIN)] + table + text[text.index(END) + len(END):]
else:
    text = text.rstrip("\n") + "\n\n## Hostile process environment\n\n" + (
        "What one run answers when the machine or the parent works against it, not another process: standard "
        "output closed, full, non-blocking or slow, past the file-size limit; standard input non-blocking and "
        "slow; every descriptor limit from 3 to 24; a 64 KiB stack; each catchable termination signal half-way "
        "through a run; loader variables in the environment. The command tests prove each condition "
        "deterministically (tests/cli/front_end_test.cpp, `FrontEnd_HostileProcess`, "
        "`FrontEnd_TerminationSignal`) and the campaign runs every command under a 64 KiB stack and every "
        "descriptor limit from 3 to 24 (`ProcessLimitCampaign`). This table is regenerated with\n\n"
        "    scripts/hostile-process-report.py build/anchorfs\n\n") + table + "\n"
open(document, "w").write(text)
print("\n".join(rows))
