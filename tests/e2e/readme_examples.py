#!/usr/bin/python3
"""Runs every example of the README as a reader would, and compares what it prints.

An example is a ```console block: "$ command" lines (a command may carry a here-document up to its
end marker), each followed by the lines it prints. "..." in a printed line stands for any text.
All commands run in order in one bash session, as typed in the second terminal, from a folder laid
out like a source tree after scripts/run.sh (build-run/ is the build under test, samples/), while
a host runs the way scripts/run.sh starts it: with the sample bundle, in its state root, on the
socket under XDG_RUNTIME_DIR. Keep this in step with scripts/run.sh.

  readme_examples.py README HOST BUILD_DIR SOURCE_DIR
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time


def examples(readme):
    """[(line number, command text, [expected lines])] in README order."""
    out = []
    lines = readme.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].strip() != "```console":
            i += 1
            continue
        i += 1
        current = None
        while i < len(lines) and lines[i].strip() != "```":
            line = lines[i]
            if line.startswith("$ "):
                command = [line[2:]]
                start = i + 1
                heredoc = re.search(r"<<-?\s*'?\"?(\w+)'?\"?", line)
                if heredoc:
                    end = heredoc.group(1)
                    i += 1
                    while i < len(lines) and lines[i] != end:
                        command.append(lines[i])
                        i += 1
                    command.append(end)
                current = (start, "\n".join(command), [])
                out.append(current)
            elif current is not None:
                current[2].append(line)
            i += 1
        i += 1
    return out


def matches(expected, actual):
    pattern = ".*".join(re.escape(part) for part in expected.split("..."))
    return re.fullmatch(pattern, actual) is not None


def main():
    readme_path, host, build, source = (os.path.abspath(a) for a in sys.argv[1:5])
    with open(readme_path, encoding="utf-8") as f:
        found = examples(f.read())
    if not found:
        print("no examples in " + readme_path)
        return 1
    with tempfile.TemporaryDirectory(prefix="lumora-readme-") as root:
        env = dict(os.environ)
        env.pop("LUMORA_ENGINE_SOCKET", None)
        env.pop("LUMORA_HOME", None)
        for name in ("XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"):
            env[name] = os.path.join(root, name.lower())
            os.makedirs(env[name])
        env["HOME"] = os.path.join(root, "home")
        os.makedirs(env["HOME"])
        work = os.path.join(root, "work")
        os.makedirs(work)
        os.symlink(build, os.path.join(work, "build-run"))
        os.symlink(os.path.join(source, "samples"), os.path.join(work, "samples"))
        before = sorted(os.listdir(work))

        # As scripts/run.sh starts it.
        state = os.path.join(env["XDG_DATA_HOME"], "lumora")
        os.makedirs(state)
        socket = os.path.join(env["XDG_RUNTIME_DIR"], "lumora-engine.sock")
        host_env = dict(env)
        host_env["LUMORA_BUNDLE"] = os.path.join(source, "samples", "Sample.bundle")
        log_path = os.path.join(root, "host.log")
        with open(log_path, "w") as log:
            process = subprocess.Popen([host, "--engine-socket", socket], cwd=state, env=host_env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        failures = []
        try:
            deadline = time.monotonic() + 30
            while "listening on" not in open(log_path).read():
                if process.poll() is not None or time.monotonic() > deadline:
                    print("the host did not start:\n" + open(log_path).read())
                    return 1
                time.sleep(0.02)

            script = ["cd " + work]
            for n, (line, command, _) in enumerate(found):
                script.append("echo '@@begin %d'" % n)
                script.append(command)
                script.append("echo \"@@end %d $?\"" % n)
            session = subprocess.run(["bash", "--noprofile", "--norc"], input="\n".join(script) + "\n",
                                     env=env, capture_output=True, text=True, timeout=120)
            output = {}
            status = {}
            current = None
            for text in session.stdout.splitlines():
                begin = re.fullmatch(r"@@begin (\d+)", text)
                end = re.fullmatch(r"@@end (\d+) (\d+)", text)
                if begin:
                    current = int(begin.group(1))
                    output[current] = []
                elif end:
                    status[int(end.group(1))] = int(end.group(2))
                    current = None
                elif current is not None:
                    output[current].append(text)
            for n, (line, command, expected) in enumerate(found):
                actual = output.get(n)
                title = "README line %d: %s" % (line, command.splitlines()[0])
                if actual is None or status.get(n) != 0:
                    failures.append("%s\n  exit status %s" % (title, status.get(n)))
                    continue
                if len(actual) != len(expected) or not all(
                        matches(e, a) for e, a in zip(expected, actual)):
                    failures.append("%s\n  expected:\n    %s\n  printed:\n    %s" % (
                        title, "\n    ".join(expected), "\n    ".join(actual)))
            if failures and session.stderr:
                failures.append("standard error of the session:\n" + session.stderr)
            # A relative path the examples use lands in the state root, not where they ran.
            if sorted(os.listdir(work)) != before:
                failures.append("the examples left files where they ran: %s" %
                                sorted(set(os.listdir(work)) - set(before)))
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                code = process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                code = None
        log_text = open(log_path).read()
        if code != 0:
            failures.append("the host ended with %s" % code)
        if "Sanitizer" in log_text:
            failures.append("the host's log holds a sanitizer report")
        if failures:
            print("\n\n".join(failures))
            print("\nhost log:\n" + log_text)
            return 1
        print("%d README examples ran as written" % len(found))
        return 0


if __name__ == "__main__":
    sys.exit(main())
