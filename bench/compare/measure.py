"""Running one downloader under GNU time, preparing its destination, and checking
what it wrote. A run whose output differs from the served bytes by one byte is
a failure: its time is kept in the raw results but never becomes a figure.
"""

import os
import shutil
import signal
import subprocess
import time

TIME_BINARY = "/usr/bin/time"
TIME_FORMAT = "%e %U %S %M"
_COMPARE_BLOCK = 4 * 1024 * 1024


def parse_time_output(text):
    """The figures GNU time wrote with TIME_FORMAT. Lines it adds before them
    ("Command exited with non-zero status 1", "Command terminated by signal 9")
    are skipped."""
    for line in reversed(text.strip().splitlines()):
        fields = line.split()
        if len(fields) != 4:
            continue
        try:
            wall, user, system = (float(f) for f in fields[:3])
            rss = int(fields[3])
        except ValueError:
            continue
        return {"wall": wall, "user": user, "sys": system, "cpu": round(user + system, 3), "maxrss_kb": rss}
    raise ValueError("no figures in GNU time output: %r" % text)


def timed_run(argv, log_prefix, timeout, env=None, cwd=None):
    """Runs argv under GNU time with its output in log_prefix.out/.err. On
    timeout the whole process group is killed and the run marked so; when the
    wait is interrupted it is killed as well and the interruption goes on."""
    time_file = log_prefix + ".time"
    command = [TIME_BINARY, "-f", TIME_FORMAT, "-o", time_file, "--"] + list(argv)
    with open(log_prefix + ".out", "wb") as out, open(log_prefix + ".err", "wb") as err:
        process = subprocess.Popen(command, stdout=out, stderr=err, env=env, cwd=cwd, start_new_session=True)
        timed_out = False
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        except BaseException:
            # Ctrl-C or SIGTERM of the harness: the run has a session of its
            # own, which the terminal's signal does not reach, and would go on.
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
    result = {"exit": process.returncode, "timed_out": timed_out}
    try:
        with open(time_file) as figures:
            result.update(parse_time_output(figures.read()))
    except (OSError, ValueError):
        result.update({"wall": None, "user": None, "sys": None, "cpu": None, "maxrss_kb": None})
    return result


def files_equal(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            block_a = fa.read(_COMPARE_BLOCK)
            block_b = fb.read(_COMPARE_BLOCK)
            if block_a != block_b:
                return False
            if not block_a:
                return True


def compare_tree(dest, reference, files):
    """Problems of dest against the reference folder for the listed files:
    missing, different, and files nobody asked for (a downloader's leftovers
    count as wrong output). An empty list means byte-for-byte identical."""
    problems = []
    expected = set()
    for relative, size in files:
        expected.add(relative)
        path = os.path.join(dest, relative)
        if not os.path.isfile(path):
            problems.append("missing " + relative)
        elif os.path.getsize(path) != size:
            problems.append("size %d instead of %d: %s" % (os.path.getsize(path), size, relative))
        elif not files_equal(path, os.path.join(reference, relative)):
            problems.append("different bytes: " + relative)
    for folder, _, names in os.walk(dest):
        for name in names:
            relative = os.path.relpath(os.path.join(folder, name), dest)
            if relative not in expected:
                problems.append("unexpected file " + relative)
    return problems


def clear_folder(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def copy_reference(dest, reference, files):
    clear_folder(dest)
    for relative, _ in files:
        target = os.path.join(dest, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(reference, relative), target)


def zero_range(path, offset, length):
    """Turns a byte range into zeros the way a preallocated but unwritten region
    reads: unwritten extents where the file system can (fallocate -z), written
    zeros elsewhere."""
    done = subprocess.run(
        ["fallocate", "-z", "-o", str(offset), "-l", str(length), path], capture_output=True
    ).returncode == 0
    if done:
        return
    with open(path, "r+b") as out:
        out.seek(offset)
        left = length
        zeros = bytes(min(length, _COMPARE_BLOCK))
        while left > 0:
            out.write(zeros[: min(left, len(zeros))])
            left -= min(left, len(zeros))


def make_half_present(dest, files, single_file_state):
    """Leaves a complete destination as an interrupted download would: of many
    files every second one (in path order) is removed; of a single file the
    first half stays and the second half is either zeros at full length
    ("zero-tail", what a preallocating downloader leaves) or cut off
    ("truncate", what a streaming one leaves). Returns the paths that are now
    missing entirely."""
    if len(files) == 1:
        relative, size = files[0]
        path = os.path.join(dest, relative)
        half = size // 2
        if single_file_state == "zero-tail":
            zero_range(path, half, size - half)
        elif single_file_state == "truncate":
            os.truncate(path, half)
        else:
            raise ValueError("unknown single-file state " + single_file_state)
        return []
    missing = []
    for index, (relative, _) in enumerate(files):
        if index % 2 == 1:
            os.remove(os.path.join(dest, relative))
            missing.append(relative)
    return missing


DROP_CACHES = "/proc/sys/vm/drop_caches"


def drop_caches():
    """Writes back and drops the page cache when allowed to; False otherwise."""
    os.sync()
    try:
        with open(DROP_CACHES, "w") as control:
            control.write("3\n")
        return True
    except OSError:
        return False


def evict_files(folder):
    """Without the right to drop the whole cache, at least the destination's
    pages are let go, so a verification reads the disk."""
    for parent, _, names in os.walk(folder):
        for name in names:
            fd = os.open(os.path.join(parent, name), os.O_RDONLY)
            try:
                os.fsync(fd)
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def warm_files(paths):
    """Reads files so that the server sends them from memory, as a node with a
    fast uplink would, and the client's disk is the only disk in the test."""
    buffer = bytearray(_COMPARE_BLOCK)
    for path in paths:
        with open(path, "rb", buffering=0) as source:
            while source.readinto(buffer):
                pass


def sync_seconds():
    started = time.monotonic()
    os.sync()
    return round(time.monotonic() - started, 3)
