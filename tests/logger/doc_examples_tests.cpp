// Every example of the man pages and the README, run as shown against simulated meters, in a
// private /dev and a private network (tests/rig/sandbox --network).
//
// What an example is:
// - In a man page, what mandoc shows a terminal in EXAMPLES: a line that starts with "$ " is a
//   command (ending in "\", it goes on in the next line), and the lines right below it, up to a
//   blank line, what it prints. The page shows the same 80 columns wide as 200: no example is
//   broken where a terminal would wrap it.
// - In the README, a line of code (indented four spaces, or between ``` fences; a "$ " before
//   it is left off) or a code span of the text that starts with a program of this project
//   (ohmlog, ohmprobe, metersim, ttylist, with build/linux/bin/ before it or not) and its
//   arguments, or with a script of tools/ that runs the simulated meter (its name holds
//   "simulated"); neither a synopsis (with "[") nor a command shortened ("...").
// How they run:
// - The examples of one document in turn, in one folder, as a reader trying them would; the
//   README's in a fresh checkout (its docs/ copied, the rest linked), with the programs of this
//   tree (OHM_BIN_DIR for the tools/ scripts, PATH for the rest).
// - /dev/ttyUSB0 and /dev/ttyS0 (COM1) are simulated meters on DC volts, /dev/ttyUSB1 one on DC
//   amperes; a /dev/pts/N shown below a metersim command is the path that metersim printed.
// - A command ending in "&" stays in the background until the document's end. Any other runs
//   until it ends, or until it has written a row (a run that would go on for an hour), and is
//   then stopped with Ctrl-C as a reader would stop it.
// - It ends with status 0 (3 for a run that --stop-on-alarm ended), and one that ended by itself
//   printed what is shown below it (unless "..." shortens that).
#include "fake_node.h"
#include "process.h"
#include "sim_meter.h"
#include "test_paths.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// Long enough for a run to write its first row on a busy machine under the sanitizers.
constexpr double EXAMPLE_BOUND_S = 15.0;

struct Example {
    std::string command;
    std::vector<std::string> shown; // what it prints, as the document shows it
};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line.empty() || line.back() != '\r' ? line
                                                            : line.substr(0, line.size() - 1));
    }
    return lines;
}

std::size_t indent_of(const std::string& line)
{
    return line.find_first_not_of(' ') == std::string::npos ? line.size()
                                                            : line.find_first_not_of(' ');
}

bool starts_with(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// A command line ending in "\" goes on in the next, as the shell reads it.
std::string joined(const std::vector<std::string>& lines, std::size_t& at)
{
    std::string command = lines[at].substr(indent_of(lines[at]));
    while (!command.empty() && command.back() == '\\' && at + 1 < lines.size()) {
        command.pop_back();
        ++at;
        command += lines[at].substr(indent_of(lines[at]));
    }
    return command;
}

// The page as mandoc shows it on a terminal this wide, without the overstrike of bold.
std::string rendered(const std::string& page, int width)
{
    Launch mandoc;
    mandoc.argv = {"/usr/bin/mandoc", "-T", "ascii", "-O", "width=" + std::to_string(width), page};
    const std::string out = run_process(mandoc).out;
    std::string plain;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i + 1 < out.size() && out[i + 1] == '\b') {
            ++i;
        } else {
            plain += out[i];
        }
    }
    return plain;
}

std::vector<Example> man_examples(const std::string& text)
{
    const std::vector<std::string> lines = lines_of(text);
    std::vector<Example> examples;
    bool in_examples = false;
    for (std::size_t at = 0; at < lines.size(); ++at) {
        if (!lines[at].empty() && lines[at][0] != ' ') {
            in_examples = lines[at] == "EXAMPLES";
            continue;
        }
        const std::size_t indent = indent_of(lines[at]);
        if (!in_examples ||
            !starts_with(lines[at].substr(std::min(indent, lines[at].size())), "$ ")) {
            continue;
        }
        Example example{joined(lines, at).substr(2), {}};
        while (at + 1 < lines.size() && indent_of(lines[at + 1]) >= indent &&
               indent_of(lines[at + 1]) < lines[at + 1].size() &&
               !starts_with(lines[at + 1].substr(indent), "$ ")) {
            example.shown.push_back(lines[++at].substr(indent));
        }
        examples.push_back(example);
    }
    return examples;
}

bool readme_command(const std::string& text)
{
    static const std::regex command(
        R"(((build/linux/bin/)?(ohmlog|ohmprobe|metersim|ttylist) \S.*|tools/\S*simulated\S*( .*)?))");
    return std::regex_match(text, command) && text.find('[') == std::string::npos &&
           text.find("...") == std::string::npos;
}

std::vector<Example> readme_examples(const std::string& text)
{
    std::map<std::size_t, std::string> commands; // by where they stand
    std::string prose;                           // the text, code left out, lines joined
    std::vector<std::size_t> prose_at;
    const std::vector<std::string> lines = lines_of(text);
    std::size_t offset = 0;
    bool fenced = false;
    for (std::size_t at = 0; at < lines.size(); offset += lines[at].size() + 1, ++at) {
        fenced = starts_with(lines[at], "```") ? !fenced : fenced;
        if (fenced || starts_with(lines[at], "    ")) {
            const std::size_t first = at;
            std::string command = joined(lines, at);
            command = starts_with(command, "$ ") ? command.substr(2) : command;
            if (!starts_with(lines[first], "```") && readme_command(command)) {
                commands[offset] = command;
            }
            for (std::size_t k = first; k < at; ++k) {
                offset += lines[k].size() + 1;
            }
            continue;
        }
        for (std::size_t k = 0; k <= lines[at].size(); ++k) {
            prose += k < lines[at].size() ? lines[at][k] : ' ';
            prose_at.push_back(offset + k);
        }
    }
    static const std::regex span("`([^`]+)`");
    for (auto found = std::sregex_iterator(prose.begin(), prose.end(), span);
         found != std::sregex_iterator(); ++found) {
        std::string command = std::regex_replace((*found)[1].str(), std::regex(" +"), " ");
        if (readme_command(command)) {
            commands[prose_at[static_cast<std::size_t>(found->position())]] = command;
        }
    }
    std::vector<Example> examples;
    for (const auto& [at, command] : commands) {
        examples.push_back(Example{command, {}});
    }
    return examples;
}

// A fresh checkout's folder: docs/ copied (examples write there), the rest linked.
void lay_out_checkout(const std::string& dir)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(OHM_SOURCE_DIR)) {
        const std::string name = entry.path().filename().string();
        if (name == "docs") {
            fs::copy(entry.path(), dir + "/docs", fs::copy_options::recursive);
        } else if (name != ".git") {
            fs::create_symlink(entry.path(), dir + "/" + name);
        }
    }
}

int lines_in_csv_files(const std::string& dir)
{
    int lines = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().extension() == ".csv") {
            const std::string text = read_file(entry.path().string());
            lines += static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        }
    }
    return lines;
}

class DocumentExamples : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(in_private_dev()) << "run in tests/rig/sandbox --network"; }

    // Runs the document's examples in turn in `dir`.
    void run_all(const std::string& document, const std::vector<Example>& examples,
                 const std::string& dir)
    {
        const std::string out_dir = make_temp_dir("ohm-example-out");
        std::map<std::string, std::string> paths; // as shown, as printed
        std::vector<std::unique_ptr<BackgroundProcess>> background;
        for (const Example& example : examples) {
            std::string command = example.command;
            for (const auto& [shown, printed] : paths) {
                command = std::regex_replace(command, std::regex(shown + "\\b"), printed);
            }
            SCOPED_TRACE(document + ": " + command);
            Launch launch;
            launch.argv = {"/bin/bash", "-c", command};
            launch.working_dir = dir;
            launch.environment = {"PATH=" OHM_NATIVE_BIN ":/usr/bin:/bin",
                                  "OHM_BIN_DIR=" OHM_NATIVE_BIN};
            launch.new_session = true; // Ctrl-C reaches the whole command
            if (command.size() > 2 && command.compare(command.size() - 2, 2, " &") == 0) {
                launch.argv[2] = "exec " + command.substr(0, command.size() - 2);
                background.push_back(std::make_unique<BackgroundProcess>(launch));
                const std::string printed = background.back()->read_line(5000);
                if (!example.shown.empty() && starts_with(example.shown[0], "/dev/pts/")) {
                    paths[example.shown[0]] = printed;
                }
                continue;
            }
            launch.stdout_path = out_dir + "/out";
            launch.stderr_path = out_dir + "/err";
            run_one(example, launch, command);
        }
        remove_tree(out_dir);
    }

    void run_one(const Example& example, const Launch& launch, const std::string& command)
    {
        write_file(launch.stdout_path, "");
        write_file(launch.stderr_path, "");
        const int csv_lines = lines_in_csv_files(launch.working_dir);
        BackgroundProcess process(launch);
        const double start = monotonic_seconds();
        bool stopped = false;
        while (!stopped && process.running()) {
            const std::string out = read_file(launch.stdout_path);
            stopped = std::count(out.begin(), out.end(), '\n') >= 2 ||
                      lines_in_csv_files(launch.working_dir) >= csv_lines + 2 ||
                      seconds_since(start) > EXAMPLE_BOUND_S;
            std::this_thread::sleep_for(std::chrono::milliseconds(stopped ? 0 : 20));
        }
        EXPECT_LT(seconds_since(start), EXAMPLE_BOUND_S) << "neither ended nor wrote a row";
        if (stopped) {
            kill(-process.pid(), SIGINT);
        }
        const int status = process.wait(10000);
        const bool alarm_may_end = command.find("--stop-on-alarm") != std::string::npos;
        EXPECT_TRUE(status == 0 || (alarm_may_end && status == 3)) << "status " << status << "\n"
                                                                   << read_file(launch.stderr_path);
        const bool shortened =
            std::find(example.shown.begin(), example.shown.end(), "...") != example.shown.end();
        if (!stopped && !example.shown.empty() && !shortened) {
            EXPECT_EQ(lines_of(read_file(launch.stdout_path)), example.shown);
        }
    }
};

TEST_F(DocumentExamples, RunAsShown)
{
    SimMeter volts;
    SimMeter amperes({"--reading", "DC  0.502   A"});
    SimMeter first_port;
    const FakeNode usb0("ttyUSB0", volts.path());
    const FakeNode usb1("ttyUSB1", amperes.path());
    const FakeNode com1("ttyS0", first_port.path());
    int count = 0;
    for (const fs::directory_entry& page : fs::directory_iterator(OHM_SOURCE_DIR "/docs/man")) {
        const std::vector<Example> examples = man_examples(rendered(page.path().string(), 78));
        std::vector<std::string> narrow;
        std::vector<std::string> wide;
        for (const Example& example : examples) {
            narrow.push_back(example.command);
        }
        for (const Example& example : man_examples(rendered(page.path().string(), 200))) {
            wide.push_back(example.command);
        }
        EXPECT_EQ(narrow, wide) << page.path() << ": an example broken by the width of 80 columns";
        const std::string dir = make_temp_dir("ohm-example");
        run_all(page.path().filename().string(), examples, dir);
        remove_tree(dir);
        count += static_cast<int>(examples.size());
    }
    const std::vector<Example> readme = readme_examples(read_file(OHM_SOURCE_DIR "/README.md"));
    const std::string checkout = make_temp_dir("ohm-checkout");
    lay_out_checkout(checkout);
    run_all("README.md", readme, checkout);
    remove_tree(checkout);
    EXPECT_GE(count, 10) << "the man pages' examples were found";
    EXPECT_GE(readme.size(), 6u) << "the README's examples were found";
}

// The options a text names: "-n" and "--count" alike.
std::set<std::string> options_in(const std::string& text)
{
    static const std::regex option(R"((^|[\s\[|])(--?[a-z][a-z-]*))");
    std::set<std::string> options;
    for (auto found = std::sregex_iterator(text.begin(), text.end(), option);
         found != std::sregex_iterator(); ++found) {
        options.insert((*found)[2].str());
    }
    return options;
}

// Every option that ohmlog --help names is in the man page's synopsis and in the README's,
// by its long name or by the short one that help gives it ("-n, --count").
TEST(DocumentSynopses, NameEveryOption)
{
    Launch help;
    help.argv = {OHM_NATIVE_BIN "/ohmlog", "--help"};
    const std::string usage = run_process(help).out;
    std::map<std::string, std::string> short_names;
    static const std::regex both(R"(\n +(-[a-z]), (--[a-z-]+))");
    for (auto found = std::sregex_iterator(usage.begin(), usage.end(), both);
         found != std::sregex_iterator(); ++found) {
        short_names[(*found)[2].str()] = (*found)[1].str();
    }
    const std::string page = rendered(OHM_SOURCE_DIR "/docs/man/ohmlog.1", 78);
    const auto synopsis = page.find("\nSYNOPSIS\n");
    const std::set<std::string> in_page =
        options_in(page.substr(synopsis, page.find("\nDESCRIPTION\n") - synopsis));
    const std::string readme = read_file(OHM_SOURCE_DIR "/README.md");
    const auto readme_usage = readme.find("\n    ohmlog [");
    const std::set<std::string> in_readme =
        options_in(readme.substr(readme_usage, readme.find("\n\n", readme_usage) - readme_usage));
    const std::set<std::string> options = options_in(usage);
    for (const std::string& option : options) {
        const auto named = [&](const std::set<std::string>& in) {
            return in.count(option) > 0 || in.count(short_names[option]) > 0;
        };
        EXPECT_TRUE(named(in_page)) << option;
        EXPECT_TRUE(named(in_readme) || option == "--help" || option == "--version")
            << "the README: " << option;
    }
    EXPECT_GT(options.size(), 15u);
}

} // namespace
