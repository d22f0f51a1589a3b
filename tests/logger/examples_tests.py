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
- A command ending in "&" stays in the background until the document's end. Any other runs
  until it ends, or until it has written a row (a run that would go on for an hour), and is
  then stopped with Ctrl-C as a reader would stop it.
- It ends with status 0 (3 for a run that --stop-on-alarm ended), and one that ended by itself
  printed what is shown below it (unless "..." shortens that).
Also: every option that ohmlog --help names is in the synopsis of ohmlog(1) and the README's;
each tool of the README, run as a newcomer runs it (no OHM_BIN_DIR), asks to install every
Debian package that owns a file the build used (its headers, libraries and programs, as ninja
and CMake's cache name them), or one that such a package depends on.
"""
import bisect, os, re, shutil, signal, subprocess, sys, tempfile, time

BIN, SOURCE = sys.argv[1], sys.argv[2]
BOUND_S = 15  # for a run to write its first row on a busy machine, sanitized
failures = []


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


def run_one(where, command, shown, folder, env, out_dir):
    out, err = f"{out_dir}/out", f"{out_dir}/err"
    rows_before = lines_in_csv_files(folder)
    with open(out, "wb") as out_file, open(err, "wb") as err_file:
        process = subprocess.Popen(["bash", "-c", command], cwd=folder, env=env, stdout=out_file,
                                   stderr=err_file, start_new_session=True)
    start, stopped = time.monotonic(), False
    while process.poll() is None and not stopped:
        stopped = open(out, "rb").read().count(b"\n") >= 2 or \
            lines_in_csv_files(folder) >= rows_before + 2 or time.monotonic() - start > BOUND_S
        time.sleep(0 if stopped else 0.02)
    check(time.monotonic() - start < BOUND_S, where, "neither ended nor wrote a row")
    if stopped:
        try:
            os.killpg(process.pid, signal.SIGINT)
        except ProcessLookupError:  # it ended by itself meanwhile
            pass
    status = process.wait(10)
    check(status == 0 or (status == 3 and "--stop-on-alarm" in command), where,
          f"status {status}\n{open(err).read()}")
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
    for option in options:
        def named(text):
            return re.search(rf"(^|[\s\[|])({option}|{short.get(option, option)})\b", text)
        check(named(page), "ohmlog(1)'s synopsis", option)
        check(named(readme) or option in ("--help", "--version"), "the README's synopsis", option)
    check(len(options) > 15, "ohmlog --help", "its options")


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
    finally:  # the meters go whatever happened, or the sandbox waits for them
        for meter in meters:
            meter.terminate()
    print("\n\n".join(failures) or f"examples_tests: {count + len(readme)} examples ran as shown")
    sys.exit(1 if failures else 0)


main()
