"""examples_tests.py BIN SOURCE: every example of the man pages and the README, run as shown
against simulated meters with the programs of BIN, in tests/rig/sandbox --network (a private
/dev and a private network: some serve on 0.0.0.0:8345 or look for a broker on localhost).

What an example is:
- In a man page, what mandoc shows a terminal in EXAMPLES: a line that starts with "$ " is a
  command (ending in "\\", it goes on in the next line), and the lines right below it, up to a
  blank line, what it prints. The page shows the same 80 columns wide as 200: no example is
  broken where a terminal would wrap it.
- In the README, a line of code (indented four spaces, or between ``` fences; a "$ " before it
  left off) or a code span of the text, that starts with a program of this project (ohmlog,
  ohmprobe, metersim, ttylist, with build/linux/bin/ before it or not) and its arguments, or
  with a script of tools/ that runs the simulated meter (its name holds "simulated"); neither a
  synopsis (with "[", or a placeholder in capitals such as FILE) nor a command shortened ("...").
- A line of a service's set-up that needs root's tools or systemd as process 1 (sudo, sudoedit,
  systemctl) is not run: /etc/ohmlog holds the package's example and the bench.conf that its
  "sudo cp" makes, and the unit itself is checked by tests/service/verify-unit and
  tests/packages.
How they run:
- The examples of one document in turn, in one folder, as a reader trying them would; the
  README's in a fresh checkout (its docs/ copied, the rest linked), with the programs of BIN
  (on PATH, and OHM_BIN_DIR for the tools/ scripts).
- /dev/ttyUSB0 and /dev/ttyS0 (COM1) are simulated meters on DC volts (the first also under the
  /dev/serial/by-id name of the example file), /dev/ttyUSB1 one on DC amperes; a /dev/pts/N shown below a metersim command is the path that metersim printed.
- A command ending in "&" stays in the background until the document's end. A run of ohmlog
  on meters without a count or a short duration (an hour long, say), and metersim, runs until
  it has written a row and is then stopped with Ctrl-C as a reader would stop it; any other
  command is waited for until it ends by itself.
- It ends with status 0 (3 for a run that --stop-on-alarm ended), and one that ended by itself
  printed what is shown below it (unless "..." shortens that).
Also: ohmlog --help and the synopsis of ohmlog(1) name the same options, all in the README's;
every message of ohmlog that a document quotes (a line, code span or text in double quotes
starting with "ohmlog: ") is one it printed, numbers aside, in the examples or in runs that
make what no example shows (a port the user may not open, an MQTT broker's answers); each
tool of the README, run as a newcomer runs it (no OHM_BIN_DIR), asks to install every
Debian package that owns a file the build used (its headers, libraries and programs, as ninja
and CMake's cache name them), or one that such a package depends on.
"""
import bisect, glob, os, re, shutil, signal, subprocess, sys, tempfile, time

BIN, SOURCE = sys.argv[1], sys.argv[2]
BOUND_S = 15  # for a run to write its first row on a busy machine, sanitized
ENDS_WITHIN_S = 60  # for a command that ends by itself
failures = []
said = []  # every line the examples' and the messages' runs printed on standard error


def check(good, where, what):
    if not good:
        failures.append(f"{where}: {what}")


def rendered(page, width):
    out = subprocess.run(["mandoc", "-T", "ascii", "-O", f"width={width}", page],
                         capture_output=True, text=True, check=True).stdout
    return re.sub(".\b", "", out)  # no overstrike for bold


def joined(lines, at):
    command = lines[at].strip()
    while command.endswith("\\") and at + 1 < len(lines):
        at += 1
        command = command[:-1] + lines[at].strip()
    return command, at


def indent(line):
    return len(line) - len(line.lstrip()) if line.strip() else -1


def man_examples(text):
    examples, section, lines, at = [], "", text.split("\n"), 0
    while at < len(lines):
        if lines[at][:1] not in ("", " "):
            section = lines[at]
        elif section == "EXAMPLES" and lines[at].strip().startswith("$ "):
            first = indent(lines[at])
            command, at = joined(lines, at)
            shown = []
            while at + 1 < len(lines) and indent(lines[at + 1]) >= first and \
                    not lines[at + 1].strip().startswith("$ "):
                at += 1
                shown.append(lines[at][first:])
            examples.append((command[2:], shown))
        at += 1
    return examples


def readme_examples(text):
    def command_in(text):
        text = " ".join(text.split())
        text = text[2:] if text.startswith("$ ") else text
        synopsis = "[" in text or "..." in text or re.search(r"\b[A-Z]{4,}\b", text)
        return None if synopsis or not re.fullmatch(
            r"((build/linux/bin/)?(ohmlog|ohmprobe|metersim|ttylist) \S.*|tools/\S*simulated\S*( .*)?)",
            text) else text
    found, prose, prose_lines, fenced, lines, at = [], "", [], False, text.split("\n"), 0
    while at < len(lines):
        fenced = not fenced if lines[at].startswith("```") else fenced
        if fenced or lines[at].startswith("    "):
            command, last = joined(lines, at)
            if not lines[at].startswith("```") and command_in(command):
                found.append((at, command_in(command)))
            at = last
        else:
            prose_lines.append((len(prose), at))
            prose += lines[at] + " "
        at += 1
    for span in re.finditer("`([^`]+)`", prose):
        if command_in(span.group(1)):
            starts = [start for start, _ in prose_lines]
            found.append((prose_lines[bisect.bisect(starts, span.start()) - 1][1],
                          command_in(span.group(1))))
    return [(command, []) for _, command in sorted(found)]


def lines_in_csv_files(folder):
    return sum(open(entry.path, "rb").read().count(b"\n") for entry in os.scandir(folder)
               if entry.is_file() and entry.name.endswith(".csv"))


def runs_until_stopped(command):
    """metersim, or ohmlog on meters (through a tools/ script too) without a count or with a
    duration over BOUND_S."""
    logs = re.search(r"(^|[/ ])(ohmlog|log-\S*simulated\S*) ", command) and not re.search(
        r" (-n|--count|--from|--check-config|--help|--version)\b", command)
    duration = re.search(r" (-t|--duration)[ =]([\d.]+)([smhd]?)\b", command)
    short = duration and float(duration[2]) * {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}[
        duration[3]] <= BOUND_S
    return bool(re.search(r"(^|[/ ])metersim( |$)", command) or logs and not short)


def run_one(where, command, shown, folder, env, out_dir):
    out, err = f"{out_dir}/out", f"{out_dir}/err"
    rows_before = lines_in_csv_files(folder)
    with open(out, "wb") as out_file, open(err, "wb") as err_file:
        process = subprocess.Popen(["bash", "-c", command], cwd=folder, env=env, stdout=out_file,
                                   stderr=err_file, start_new_session=True)
    start, stopped, until_stopped = time.monotonic(), False, runs_until_stopped(command)
    bound = BOUND_S if until_stopped else ENDS_WITHIN_S
    while process.poll() is None and not stopped:
        stopped = time.monotonic() - start > bound or until_stopped and (
            open(out, "rb").read().count(b"\n") >= 2 or
            lines_in_csv_files(folder) >= rows_before + 2)
        time.sleep(0 if stopped else 0.02)
    check(time.monotonic() - start < bound, where,
          "neither ended nor wrote a row" if until_stopped else "did not end")
    if stopped:
        try:
            os.killpg(process.pid, signal.SIGINT)
        except ProcessLookupError:  # it ended by itself meanwhile
            pass
    status = process.wait(10)
    check(status == 0 or (status == 3 and "--stop-on-alarm" in command), where,
          f"status {status}\n{open(err).read()}")
    said.extend(open(err).read().replace("\r", "").splitlines())
    printed = open(out).read().replace("\r", "").splitlines()
    check(stopped or not shown or "..." in shown or printed == shown, where,
          f"printed {printed}, shown {shown}")


SERVICE_TOOLS = ("sudo", "sudoedit", "systemctl")


def run_all(document, examples, folder):
    env = dict(os.environ, PATH=f"{BIN}:/usr/bin:/bin", OHM_BIN_DIR=BIN)
    out_dir, paths, background = tempfile.mkdtemp(), {}, []
    for command, shown in examples:
        for as_shown, printed in paths.items():
            command = re.sub(re.escape(as_shown) + r"\b", printed, command)
        if command.split()[0] in SERVICE_TOOLS:
            continue
        if command.endswith(" &"):
            background.append(subprocess.Popen(["bash", "-c", "exec " + command[:-2]], cwd=folder,
                                               env=env, stdout=subprocess.PIPE, text=True))
            printed = background[-1].stdout.readline().strip()
            if shown and shown[0].startswith("/dev/pts/"):
                paths[shown[0]] = printed
        else:
            run_one(f"{document}: {command}", command, shown, folder, env, out_dir)
    for process in background:
        process.terminate()
        process.wait()
    shutil.rmtree(out_dir)


def meter_on(node, *options):
    meter = subprocess.Popen([f"{BIN}/metersim", *options], stdout=subprocess.PIPE, text=True)
    open(node, "w").close()
    subprocess.run(["mount", "--bind", meter.stdout.readline().strip(), node], check=True)
    return meter


def service_set_up():
    """/etc/ohmlog as the package and the first of the service's commands leave it, in an
    overlay of this namespace's own; the example's meter under its by-id name."""
    layers = tempfile.mkdtemp()
    os.makedirs(f"{layers}/upper/ohmlog")
    os.makedirs(f"{layers}/work")
    for name in ("bench.conf.example", "bench.conf"):
        shutil.copy(f"{SOURCE}/packaging/bench.conf.example", f"{layers}/upper/ohmlog/{name}")
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir=/etc,upperdir={layers}/upper,workdir={layers}/work", "/etc"],
                   check=True)
    by_id = re.search(r"^meter U=(\S+)", open(f"{SOURCE}/packaging/bench.conf.example").read(),
                      re.M).group(1)
    os.makedirs(os.path.dirname(by_id), exist_ok=True)
    os.symlink("/dev/ttyUSB0", by_id)


def synopses_name_every_option():
    usage = subprocess.run([f"{BIN}/ohmlog", "--help"], capture_output=True, text=True).stdout
    short = {long: short for short, long in re.findall(r"\n +(-[a-z]), (--[a-z-]+)", usage)}
    page = rendered(f"{SOURCE}/docs/man/ohmlog.1", 78)
    page = page[page.index("\nSYNOPSIS\n"):page.index("\nDESCRIPTION\n")]
    readme = open(f"{SOURCE}/README.md").read()
    readme = readme[readme.index("\n    ohmlog ["):]
    readme = readme[:readme.index("\n\n")]
    options = set(re.findall(r"--[a-z][a-z-]*", usage))
    for option in set(re.findall(r"--[a-z][a-z-]*", page)) - options:
        check(False, "ohmlog --help", f"{option} of the man page's synopsis")
    for option in options:
        def named(text):
            return re.search(rf"(^|[\s\[|])({option}|{short.get(option, option)})\b", text)
        check(named(page), "ohmlog(1)'s synopsis", option)
        check(named(readme) or option in ("--help", "--version"), "the README's synopsis", option)
    check(len(options) > 15, "ohmlog --help", "its options")


def quoted_messages():
    """(document, message): each line, code span or text in double quotes of the README,
    docs/*.md and the man pages that starts with "ohmlog: "."""
    documents = [(name, open(f"{SOURCE}/{name}").read()) for name in
                 ["README.md", *glob.glob("docs/*.md", root_dir=SOURCE)]]
    documents += [(name, rendered(f"{SOURCE}/{name}", 200))
                  for name in glob.glob("docs/man/*.[1-9]", root_dir=SOURCE)]
    return [(name, quote.strip()) for name, text in documents
            for prose in [re.sub(r"\s*\n\s*", " ", text)]
            for quote in text.splitlines() + re.findall(r'"([^"]+)"', prose) +
            re.findall(r"`([^`]+)`", prose) if quote.strip().startswith("ohmlog: ")]


def messages_no_example_shows(folder, env):
    """Standard error of runs on a port that nobody (a user outside the device's group) may
    open, one that another program holds, and a broker on 127.0.0.1:1883 (the README's): a run
    holding the node bench-7 that reaches it only after its start, another run on that node,
    and a login that it refuses."""
    def stderr_of(command, extra={}):
        return subprocess.run(command, cwd=folder, env=dict(env, **extra), capture_output=True,
                              text=True, timeout=ENDS_WITHIN_S).stderr.splitlines()
    shutil.copy(f"{BIN}/ohmlog", folder)  # where anyone may run it
    os.chmod(folder, 0o755)
    shutil.chown("/dev/ttyUSB0", group="dialout")
    os.chmod("/dev/ttyUSB0", 0o660)
    lines = stderr_of(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "./ohmlog",
                       "-n", "1", "/dev/ttyUSB0"])
    lines += stderr_of(["flock", "/dev/ttyUSB1", "ohmlog", "-n", "1", "/dev/ttyUSB1"])
    subprocess.run(["mosquitto_passwd", "-c", "-b", f"{folder}/passwords", "lab", "x"], check=True)
    with open(f"{folder}/broker.conf", "w") as conf:
        conf.write(f"user root\nlistener 1883 127.0.0.1\nallow_anonymous true\npassword_file "
                   f"{folder}/passwords\n")
    node = ["--mqtt", "mqtt://127.0.0.1", "--mqtt-node", "bench-7"]
    holder = subprocess.Popen(["ohmlog", "-t", "30", *node, "/dev/ttyUSB1"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    next(line for line in holder.stderr if "no connection" in line)
    broker = subprocess.Popen(["mosquitto", "-c", f"{folder}/broker.conf"],
                              stderr=subprocess.DEVNULL)
    try:
        lines.append(next(line for line in holder.stderr if "connected" in line))
        lines += stderr_of(["ohmlog", *node, "-n", "1", "/dev/ttyUSB0"])
        lines += stderr_of(["ohmlog", "-n", "2", "-i", "1", "--mqtt", "mqtt://lab@127.0.0.1",
                            "/dev/ttyUSB0"], {"OHM_MQTT_PASSWORD": "guess"})
    finally:
        for process in (holder, broker):
            process.terminate()
            process.wait(10)
    return [line.strip() for line in lines]


def messages_are_printed():
    folder = tempfile.mkdtemp()
    numberless = lambda line: re.sub(r"[\d.]+", "0", line)
    printed = {numberless(line) for line in said + messages_no_example_shows(
        folder, dict(os.environ, PATH=f"{BIN}:/usr/bin:/usr/sbin:/bin"))}
    shutil.rmtree(folder)
    quoted = quoted_messages()
    for document, message in quoted:
        check(numberless(message) in printed, document,
              f"quotes a message ohmlog does not print: {message}")
    return len(quoted)


def packages_the_build_used():
    tree = os.path.dirname(BIN)
    deps = subprocess.run(["ninja", "-C", tree, "-t", "deps"], capture_output=True, text=True,
                          check=True).stdout
    # A file of each folder: a folder may be shared by packages, a file is not.
    files = {os.path.dirname(line.strip()): line.strip() for line in deps.splitlines()
             if line.startswith("    /usr/")}
    files = set(files.values())
    cache = open(f"{tree}/CMakeCache.txt").read()
    used = re.findall(r"^(?:CMAKE_(?:CXX_COMPILER|MAKE_PROGRAM|COMMAND)|\w+_LIBRARY|OHM_GTEST_SOURCE_DIR)"
                      r":\w+=(/usr/\S+)$", cache, re.M)
    files |= {os.path.realpath(path) for path in used}
    owners = subprocess.run(["dpkg", "-S", *sorted(files)], capture_output=True, text=True).stdout
    return {line.split(":")[0] for line in owners.splitlines() if ": " in line}


def with_dependencies(packages):
    """The packages and, installed, all they depend on (every alternative, virtual ones too)."""
    fields = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\t${Depends}, ${Pre-Depends}"
                             "\t${Provides}\n"], capture_output=True, text=True).stdout
    depends, provided_by = {}, {}
    for line in fields.splitlines():
        name, needs, provides = line.split("\t")
        depends[name] = set(re.findall(r"(?:^|[,|]\s*)([a-z0-9][a-z0-9+.-]+)", needs))
        for virtual in re.findall(r"([a-z0-9][a-z0-9+.-]+)", re.sub(r"\([^)]*\)", "", provides)):
            provided_by.setdefault(virtual, set()).add(name)
    seen, todo = set(), list(packages)
    while todo:
        package = todo.pop()
        if package not in seen:
            seen.add(package)
            todo += depends.get(package, set()) | provided_by.get(package, set())
    return seen


def tools_install_what_the_build_needs(readme, checkout):
    needed = packages_the_build_used()
    check(len(needed) >= 5, "the build's packages", needed)
    for command, _ in readme:
        if not command.startswith("tools/"):
            continue
        asked = f"{tempfile.mkdtemp()}/asked"
        open(asked, "w").close()
        env = {k: v for k, v in os.environ.items() if k != "OHM_BIN_DIR"}
        subprocess.run(["bash", "-c", f"{checkout}/{command}"], cwd=tempfile.mkdtemp(),
                       env=dict(env, OHM_INSTALL_MISSING_LIST=asked), capture_output=True,
                       timeout=BOUND_S * 4)
        missing = needed - with_dependencies(open(asked).read().split())
        check(not missing, command, f"installs nothing that brings {sorted(missing)}")


def main():
    dev_type = subprocess.run(["stat", "-f", "-c", "%T", "/dev"], capture_output=True, text=True)
    if os.environ.get("OHM_SANDBOXED") != "1" or dev_type.stdout.strip() != "tmpfs":
        sys.exit("examples_tests.py: run it in tests/rig/sandbox --network")
    meters = [meter_on("/dev/ttyUSB0"), meter_on("/dev/ttyUSB1", "--reading", "DC  0.502   A"),
              meter_on("/dev/ttyS0")]
    try:
        # The runner's own rule: a command that ends by itself is waited for, however slow.
        run_one("examples_tests.py", "printf 'a\\nb\\n'; sleep 0.5; echo c", ["a", "b", "c"],
                tempfile.mkdtemp(), dict(os.environ), tempfile.mkdtemp())
        service_set_up()
        count = 0
        for page in sorted(os.scandir(f"{SOURCE}/docs/man"), key=lambda entry: entry.name):
            examples = man_examples(rendered(page.path, 78))
            wide = man_examples(rendered(page.path, 200))
            check([c for c, _ in examples] == [c for c, _ in wide], page.name,
                  f"an example broken by a width of 80 columns:\n{examples}\n{wide}")
            folder = tempfile.mkdtemp()
            run_all(page.name, examples, folder)
            shutil.rmtree(folder)
            count += len(examples)
        checkout = tempfile.mkdtemp()
        for entry in os.scandir(SOURCE):
            if entry.name == "docs":
                shutil.copytree(entry.path, f"{checkout}/docs")
            elif entry.name != ".git":
                os.symlink(entry.path, f"{checkout}/{entry.name}")
        readme = readme_examples(open(f"{SOURCE}/README.md").read())
        run_all("README.md", readme, checkout)
        tools_install_what_the_build_needs(readme, checkout)
        elsewhere = tempfile.mkdtemp()  # a tool's paths are its caller's
        subprocess.run([f"{checkout}/tools/log-simulated-meter", "-n", "1", "--plot", "run.svg"],
                       cwd=elsewhere, env=dict(os.environ, OHM_BIN_DIR=BIN), capture_output=True)
        check(os.path.exists(f"{elsewhere}/run.svg"), "tools/log-simulated-meter", "its plot elsewhere")
        shutil.rmtree(checkout)
        check(count >= 10 and len(readme) >= 6, "the documents",
              f"{count} and {len(readme)} examples")
        synopses_name_every_option()
        messages = messages_are_printed()
        check(messages >= 8, "the documents", f"{messages} messages quoted")
    finally:  # the meters go whatever happened, or the sandbox waits for them
        for meter in meters:
            meter.terminate()
    print("\n\n".join(failures) or
          f"examples_tests: {count + len(readme)} examples ran as shown, {messages} quoted messages printed")
    sys.exit(1 if failures else 0)


main()
