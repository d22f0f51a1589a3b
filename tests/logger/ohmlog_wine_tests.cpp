// The Windows ohmlog under Wine, started by tests/rig/wine-session: a simulated meter behind
// COM1 that answers only while DTR is on and RTS off.
#include "process.h"
#include "sim_meter.h"
#include "test_paths.h"
#include "wine_session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int count_of_text(const std::string& text, const std::string& part)
{
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Each part in the text; the text said when one is missing.
void expect_in(const std::string& text, std::initializer_list<std::string> parts)
{
    for (const std::string& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nnot in:\n" << text;
    }
}

// The first line of the text that holds `part`; empty when none does.
std::string line_with(const std::string& text, const std::string& part)
{
    const auto at = text.find(part);
    if (at == std::string::npos) {
        return "";
    }
    const auto start = text.rfind('\n', at);
    const auto from = start == std::string::npos ? 0 : start + 1;
    return text.substr(from, text.find('\n', at) - from);
}

// Whether `done` came true within 20 s, looked at every 50 ms.
bool eventually(const std::function<bool()>& done)
{
    for (int waited = 0; waited < 400; ++waited) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

TEST(OhmlogWineTest, RecordsASequenceOfReadingsAsCsv)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter(
        {"--reading", "DC -0.842   V", "--reading", "OH  1.234KOhm", "--reading", "OH   O.L MOhm"},
        session_dir());
    link_com(1, meter.path());
    // An alarm's command: its output on standard error, without the password, ended in its job.
    const ProcessResult result = run_under_wine(
        {windows_binary("ohmlog.exe"), "-n", "3", "--alarm", "V<0", "--on-alarm",
         "echo ALARM %OHM_STATE% %OHM_VALUE% %OHM_MQTT_PASSWORD%& for /l %i in (0,0,1) do @rem",
         "--on-alarm-timeout", "1", "com1"},
        {"OHM_MQTT_PASSWORD=secret"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out.find("ALARM"), std::string::npos);
    EXPECT_NE(result.err.find("ALARM raised -0.842 %OHM_MQTT_PASSWORD%"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("ohmlog: the command of the alarm V<0 "), std::string::npos);
    EXPECT_NE(result.err.find(" and was ended, with the processes it started"), std::string::npos);
    const std::string rows[] = {"DC,-0.842,V,-0.842,V,ok,DC -0.842   V\r\n",
                                "OH,1.234,KOhm,1234,Ohm,ok,OH  1.234KOhm\r\n",
                                "OH,O.L,MOhm,,,overload,OH   O.L MOhm\r\n"};
    std::size_t at = result.out.find("\r\n");
    EXPECT_EQ(result.out.substr(0, at),
              "time,elapsed_s,mode,reading,unit,value,base_unit,status,frame");
    for (const std::string& row : rows) {
        const std::size_t found = result.out.find(row, at);
        EXPECT_NE(found, std::string::npos) << row << visible(result.out);
        at = found;
    }
    EXPECT_EQ(result.out.find("\r\r"), std::string::npos) << "no line end doubled";
    EXPECT_NE(result.err.find("ohmlog: 3 readings in"), std::string::npos) << result.err;
    EXPECT_EQ(meter.received(), "\r\r\r");
    unlink_com(1);

    const ProcessResult absent = run_under_wine({windows_binary("ohmlog.exe"), "-n", "1", "COM9"});
    EXPECT_EQ(absent.exit_status, 1);
    EXPECT_NE(absent.err.find("ohmlog: cannot open COM9: no such port"), std::string::npos)
        << absent.err;
}

// Two meters on two COM ports, named, with their power: ten columns, each meter its rows.
TEST(OhmlogWineTest, TwoMetersOnTwoComPorts)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter volts({"--reading", "DC  12.00   V"}, session_dir());
    SimMeter amperes({"--reading", "DC  0.500   A"}, session_dir());
    link_com(4, volts.path());
    link_com(5, amperes.path());
    const ProcessResult result = run_under_wine(
        {windows_binary("ohmlog.exe"), "-n", "3", "--power", "U,I", "U=COM4", "I=com5"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find("\r\n")),
              "time,elapsed_s,mode,reading,unit,value,base_unit,status,frame,meter");
    EXPECT_EQ(count_of_text(result.out, ",ok,DC  12.00   V,U\r\n"), 3) << visible(result.out);
    EXPECT_EQ(count_of_text(result.out, ",ok,DC  0.500   A,I\r\n"), 3);
    EXPECT_NE(result.err.find("  power (U x I): readings 3; min 6 W, max 6 W"), std::string::npos)
        << result.err;
    EXPECT_EQ(volts.received(), "\r\r\r");
    EXPECT_EQ(amperes.received(), "\r\r\r");
    unlink_com(4);
    unlink_com(5);
}

// The line pulled out and plugged back in at COM2, as Wine shows it; then the files: an
// appended run replaces its plot, and a plot that cannot be written leaves the CSV as it was.
TEST(OhmlogWineTest, ALostPortComesBackAndNoFileIsDestroyed)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({"--link", com_path(2)}, session_dir());
    const std::string csv = session_dir() + "/run.csv";
    const std::string plot = session_dir() + "/run.svg";
    BackgroundProcess log(wine_launch({windows_binary("ohmlog.exe"), "-n", "4", "-i", "0.3", "-o",
                                       "Z:" + csv, "--plot", "Z:" + plot, "COM2"}));
    for (int waited = 0; read_file(csv).find(",ok,") == std::string::npos && waited < 100;
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    meter.toggle_line();
    for (int waited = 0; read_file(csv).find("port-lost") == std::string::npos && waited < 100;
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    meter.toggle_line();
    EXPECT_EQ(log.wait(20000), 0);
    const std::string rows = read_file(csv);
    EXPECT_NE(rows.find(",,,,,,port-lost,\r\n"), std::string::npos) << rows;
    EXPECT_GT(rows.rfind(",ok,"), rows.find("port-lost")) << "readings again";

    EXPECT_EQ(run_under_wine({windows_binary("ohmlog.exe"), "-n", "1", "-o", "Z:" + csv, "--append",
                              "--plot", "Z:" + plot, "COM2"})
                  .exit_status,
              0);
    EXPECT_NE(read_file(plot).find(">5 readings over"), std::string::npos);
    const std::string appended = read_file(csv);
    const ProcessResult refused =
        run_under_wine({windows_binary("ohmlog.exe"), "-n", "1", "--force", "-o", "Z:" + csv,
                        "--plot", "Z:/nonexistent/p.svg", "COM2"});
    EXPECT_EQ(refused.exit_status, 2) << "a folder that is not there: the options' fault";
    EXPECT_EQ(read_file(csv), appended);
}

// The run served by the Windows ohmlog, fetched from the Linux side.
TEST(OhmlogWineTest, ServesItsLatestReading)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({}, session_dir());
    link_com(3, meter.path());
    // Ended by its count: a signal would reach only the 32-bit build's launcher.
    Launch launch = wine_launch(
        {windows_binary("ohmlog.exe"), "-n", "12", "-i", "0.3", "--serve", "127.0.0.1:0", "COM3"});
    launch.stderr_path = session_dir() + "/serve.err";
    BackgroundProcess log(launch);
    std::string url;
    for (int waited = 0; url.empty() && waited < 200; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string said = read_file(launch.stderr_path);
        const auto at = said.find("http://");
        url = at == std::string::npos ? "" : said.substr(at, said.find('/', at + 7) + 1 - at);
    }
    ASSERT_FALSE(url.empty());
    while (log.read_line(5000).find(",ok,") == std::string::npos) {
    }
    Launch fetch;
    fetch.argv = {"/usr/bin/curl", "-s", "--max-time", "10", url + "latest.json"};
    const std::string latest = run_process(fetch).out;
    EXPECT_NE(latest.find("\"frame\":\"DC -0.842   V\""), std::string::npos) << latest;
    EXPECT_NE(latest.find("\"mean_text\":\"-842 mV\""), std::string::npos) << latest;
    fetch.argv.back() = url + "metrics";
    const std::string metrics = run_process(fetch).out;
    EXPECT_NE(metrics.find("ohm_volts{meter=\"COM3\",mode=\"DC\"} -0.842\n"), std::string::npos)
        << metrics;
    EXPECT_EQ(log.wait(20000), 0);
    unlink_com(3);
}

// A file of options naming a file a second (in UTC: the Z): each row in the file its time
// names, each file with its header. Then a CSV moved away mid-run is made again at its path,
// and a plot whose folder became read-only is said with its cause and where it is. The file
// of options is UTF-8 as Notepad saves it, and the folder's name is not ASCII.
TEST(OhmlogWineTest, AFileOfOptionsFilesByTheDateAndFilesThatMove)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({}, session_dir());
    link_com(6, meter.path());
    const std::string dir = session_dir() + "/Prüfstand";
    std::filesystem::create_directories(dir + "/plots");
    write_file(dir + "/bench.conf",
               "\xEF\xBB\xBF# the bench\r\nmeter COM6\r\ninterval 0.3\r\noutput Z:" + dir +
                   "/run-%H%M%SZ.csv\r\n");
    const ProcessResult dated = run_under_wine(
        {windows_binary("ohmlog.exe"), "--config", "Z:" + dir + "/bench.conf", "-n", "7"});
    EXPECT_EQ(dated.exit_status, 0) << dated.err;
    int rows = 0;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("run-", 0) != 0) {
            continue;
        }
        const std::string text = read_file(entry.path().string());
        EXPECT_EQ(text.rfind("time,elapsed_s,", 0), 0u) << name;
        for (auto at = text.find("\r\n2"); at != std::string::npos;
             at = text.find("\r\n2", at + 2)) {
            const std::string hms =
                text.substr(at + 13, 2) + text.substr(at + 16, 2) + text.substr(at + 19, 2);
            EXPECT_EQ(name, "run-" + hms + "Z.csv");
            ++rows;
        }
        ++files;
    }
    EXPECT_EQ(rows, 7);
    EXPECT_GE(files, 2);

    const std::string csv = dir + "/run.csv";
    Launch launch = wine_launch({windows_binary("ohmlog.exe"), "-n", "8", "-i", "0.3", "-o",
                                 "Z:" + csv, "--plot", "Z:" + dir + "/plots/run.svg", "COM6"});
    launch.stderr_path = dir + "/stderr";
    BackgroundProcess log(launch);
    for (int waited = 0; count_of_text(read_file(csv), "\r\n") < 3 && waited < 200; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(
        run_under_wine({"cmd", "/c", "move", "Z:" + csv, "Z:" + dir + "/moved.csv"}).exit_status,
        0);
    Launch read_only;
    read_only.argv = {"/bin/sh", "-c",
                      "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\"",
                      dir + "/plots"};
    ASSERT_EQ(run_process(read_only).exit_status, 0);
    EXPECT_EQ(log.wait(20000), 1);
    umount2((dir + "/plots").c_str(), MNT_DETACH);
    const std::string said = read_file(dir + "/stderr");
    EXPECT_NE(said.find(" was moved or removed; the rows go on in a new file at its path"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("ohmlog: cannot put the plot in place as Z:" + dir + "/plots/run.svg: "),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("; it is in Z:" + dir + "/plots/run.svg."), std::string::npos) << said;
    EXPECT_EQ(read_file(csv).rfind("time,elapsed_s,", 0), 0u);
    EXPECT_EQ(count_of_text(read_file(csv) + read_file(dir + "/moved.csv"), ",ok,"), 8);
    unlink_com(6);
}

// What is Windows' own: a file of options saved in the ANSI code page is refused with its
// line, where it would name other files; NUL takes the plot as /dev/null does on Linux; the
// help and the manual of this build name the same options, its MQTT and its service among
// them, and no SIGUSR1, systemd unit or TLS.
TEST(OhmlogWineTest, TheWindowsBuildsOwnWays)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    const std::string conf = session_dir() + "/ansi.conf";
    write_file(conf, "# Notepad, ANSI\r\nmeter COM8\r\noutput M\xE4rz.csv\r\n");
    const ProcessResult ansi =
        run_under_wine({windows_binary("ohmlog.exe"), "--check-config", "Z:" + conf});
    EXPECT_EQ(ansi.exit_status, 2);
    EXPECT_EQ(ansi.err, "ohmlog: Z:" + conf + ":3: not UTF-8; save it as UTF-8\r\n");
    SimMeter meter({}, session_dir());
    link_com(8, meter.path());
    const ProcessResult null =
        run_under_wine({windows_binary("ohmlog.exe"), "-n", "2", "--plot", "NUL", "COM8"});
    EXPECT_EQ(null.exit_status, 0) << null.err;
    EXPECT_EQ(null.err.find("plot"), std::string::npos) << null.err;
    unlink_com(8);

    const std::string help = run_under_wine({windows_binary("ohmlog.exe"), "--help"}).out;
    const std::string manual = read_file(windows_binary("../docs/ohmlog.html"));
    const std::regex option("--[a-z][a-z-]*|SIGUSR1|systemd");
    const auto named = [&option](const std::string& text) {
        return std::set<std::string>(std::sregex_token_iterator(text.begin(), text.end(), option),
                                     std::sregex_token_iterator());
    };
    const std::set<std::string> options = named(help);
    EXPECT_EQ(options, named(manual));
    for (const char* has : {"--mqtt", "--service-name", "--log-file", "--serve"}) {
        EXPECT_EQ(options.count(has), 1u) << has;
    }
    for (const char* lacks : {"--mqtt-cafile", "SIGUSR1", "systemd"}) {
        EXPECT_EQ(options.count(lacks), 0u) << lacks;
    }
    EXPECT_NE(help.find("COMn (any case)"), std::string::npos) << help;
}

// A second run naming the CSV of a run under way is refused, with the process that writes it.
TEST(OhmlogWineTest, OneRunWritesAFile)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({}, session_dir());
    link_com(8, meter.path());
    const std::string csv = session_dir() + "/claimed.csv";
    BackgroundProcess first(wine_launch({windows_binary("ohmlog.exe"), "-o", "Z:" + csv, "COM8"}));
    for (int waited = 0; read_file(csv).find(",ok,") == std::string::npos && waited < 200;
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const ProcessResult second = run_under_wine(
        {windows_binary("ohmlog.exe"), "-n", "1", "-o", "Z:" + csv, "--append", "COM9"});
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_TRUE(std::regex_search(second.err, std::regex("cannot write Z:.*/claimed.csv: another "
                                                         "ohmlog, process [1-9][0-9]*, writes it")))
        << second.err;
    kill(first.pid(), SIGINT);
    EXPECT_EQ(first.wait(15000), 0);
    unlink_com(8);
}

// Ctrl-C (Wine's SIGINT) while standard output is a pipe whose reader stalled: the blocked
// write is given up, and the run ends with its plot and summary.
TEST(OhmlogWineTest, AnOutputNobodyReadsDoesNotHoldTheEnd)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({"--char-ms", "0", "--delay", "0"}, session_dir());
    link_com(7, meter.path());
    const std::string dir = session_dir() + "/stalled";
    std::filesystem::create_directories(dir);
    const int reader = open_stalled_pipe(dir + "/rows");
    ASSERT_GE(reader, 0);
    Launch launch =
        wine_launch({windows_binary("ohmlog.exe"), "--plot", "Z:" + dir + "/run.svg", "COM7"});
    launch.stdout_path = dir + "/rows";
    launch.stderr_path = dir + "/stderr";
    BackgroundProcess log(launch);
    ASSERT_TRUE(writer_blocked(reader));
    kill(log.pid(), SIGINT);
    EXPECT_EQ(log.wait(15000), 1);
    close(reader);
    const std::string said = read_file(dir + "/stderr");
    EXPECT_NE(said.find("ohmlog: cannot write the output: nothing reads it;"), std::string::npos)
        << said;
    EXPECT_NE(said.find(" readings in "), std::string::npos) << said;
    EXPECT_NE(read_file(dir + "/run.svg").find("</svg>"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/run.svg." + std::to_string(log.pid()) + ".part"));
    unlink_com(7);
}

// The Windows service under Wine's service manager: installed from a file of options, RUNNING
// while a port it waits for is not there, its rows in its own folder; STOP ends it with its plot
// and summary; a bad file is refused at install with its line and, once installed, is the
// service's exit code; the messages in the log file and in the event log, which Wine writes on
// its channel eventlog: err, warn and trace for errors, warnings and information. Wine's `net
// start` and `net stop` return without waiting for the state they ask for.
TEST(OhmlogWineTest, RunsAsAWindowsService)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({}, session_dir());
    link_com(8, meter.path());
    const std::string conf = session_dir() + "/bench.conf";
    write_file(conf, "meter U=COM8\nmeter W=COM9\nwait-for-port\ninterval 0.3\noutput bench.csv\n"
                     "append\nplot bench.svg\nlog-file bench.log\nalarm U:V<0\n");
    const std::string folder =
        std::string(std::getenv("WINEPREFIX")) + "/drive_c/ProgramData/ohmlog/lab/";
    const auto service = [](const std::string& action, std::vector<std::string> more = {},
                            const std::string& name = "lab") {
        more.insert(more.begin(), {windows_binary("ohmlog.exe"), "service", action});
        more.insert(more.end(), {"--service-name", name});
        return run_under_wine(more);
    };
    const auto state_is = [](const std::string& state) {
        return eventually([&] {
            return run_under_wine({"sc", "query", "lab"}).out.find(state) != std::string::npos;
        });
    };
    // The file named as it is from the folder it is in: the service's command line names it whole.
    Launch install = wine_launch({windows_binary("ohmlog.exe"), "service", "install", "--config",
                                  "bench.conf", "--service-name", "lab"});
    install.working_dir = session_dir();
    const ProcessResult installed = run_process(install);
    EXPECT_EQ(installed.exit_status, 0) << installed.err;
    expect_in(installed.out, {"relative paths in C:\\ProgramData\\ohmlog\\lab",
                              "ohmlog.exe\" service run --service-name lab --config \"Z:\\"});
    expect_in(service("status").out, {"the service lab is stopped: not run since Windows started"});
    EXPECT_EQ(run_under_wine({"net", "start", "lab"}).exit_status, 0);
    EXPECT_TRUE(state_is("RUNNING"));
    EXPECT_TRUE(
        eventually([&] { return count_of_text(read_file(folder + "bench.csv"), ",U\r\n") >= 3; }));
    expect_in(service("status").out,
              {"ohmlog: the service lab is running (process ", "  ohmlog lab (Z:\\",
               "  Records the readings of the MAS-345 meters that Z:\\", "  starts with Windows",
               "  relative paths in C:\\ProgramData\\ohmlog\\lab", "  last message: 20"});
    const double asked = monotonic_seconds();
    EXPECT_EQ(run_under_wine({"net", "stop", "lab"}).exit_status, 0);
    EXPECT_TRUE(state_is("STOPPED"));
    std::cout << "the service ended " << seconds_since(asked) << " s after net stop began\n";
    expect_in(run_under_wine({"sc", "query", "lab"}).out, {"STOPPED", "SERVICE_EXIT_CODE  : 0 "});
    expect_in(read_file(folder + "bench.csv"), {",port-lost,,W\r\n", ",ok,DC -0.842   V,U\r\n"});
    expect_in(read_file(folder + "bench.svg"), {"</svg>"});
    expect_in(read_file(folder + "bench.log"),
              {" info: started with Z:\\", " warning: ", " alarm U:V<0 raised: U -842 mV\n",
               " info: ", " readings in ", "  alarm U:V<0: raised 1 time: "});
    const std::string events = read_file(session_dir() + "/services.log");
    expect_in(line_with(events, "L\"lab: started with Z:"), {":trace:eventlog:ReportEventW"});
    expect_in(line_with(events, "L\"lab: cannot open COM9 yet: "), {":warn:eventlog:"});
    expect_in(line_with(events, " alarm U:V<0 raised: U -842 mV\""), {":warn:eventlog:"});
    expect_in(line_with(events, "\\r\\n  U (COM8): "), {":trace:eventlog:ReportEventW L\"lab: "});

    write_file(session_dir() + "/bad.conf", "meter COM8\noutput bad.csv\ncount x\n");
    const ProcessResult refused =
        run_under_wine({windows_binary("ohmlog.exe"), "service", "install", "--config",
                        "Z:" + session_dir() + "/bad.conf"});
    EXPECT_EQ(refused.exit_status, 2);
    expect_in(refused.err, {"bad.conf:3: bad count: 'x'"});
    write_file(session_dir() + "/bad.conf", "meter COM8\n");
    expect_in(service("install", {"--config", "Z:" + session_dir() + "/bad.conf"}, "spare").err,
              {"bad.conf: a service writes its rows to a file: name it with output FILE"});
    write_file(session_dir() + "/bad.conf", "meter COM8\noutput bad.csv\n");
    expect_in(service("install", {"--config", "Z:" + session_dir() + "/bad.conf"}, "spare").err,
              {"bad.conf: a service starts again on the files it wrote: add append, or force"});
    // A name or a file taken, a name that cannot be a folder's: refused before the file is checked.
    const ProcessResult twice = service("install", {"--config", "Z:" + conf});
    EXPECT_EQ(twice.out, "");
    expect_in(twice.err, {"there is a service lab already: remove it with ohmlog service "});
    expect_in(service("install", {"--config", "Z:" + conf}, "lab2").err,
              {"the service lab runs Z:\\"});
    expect_in(service("install", {"--config", "Z:" + conf}, "EventLog").err,
              {"there is a service EventLog already (it runs "});
    for (const std::string& name :
         {std::string("nul"), std::string("COM3"), std::string(65, 'x')}) {
        expect_in(service("install", {"--config", "Z:" + conf}, name).err,
                  {"bad --service-name '" + name + "': "});
    }
    expect_in(service("install").err, {"ohmlog: service install needs --config FILE"});
    expect_in(service("run", {"--config", "Z:" + conf}).err,
              {"ohmlog: ohmlog service run is for the Service Control Manager"});
    const ProcessResult foreign = run_under_wine(
        {windows_binary("ohmlog.exe"), "service", "uninstall", "--service-name", "EventLog"});
    EXPECT_EQ(foreign.exit_status, 1);
    expect_in(foreign.err, {"the service EventLog is not one of ohmlog's (it runs "});
    EXPECT_NE(run_under_wine({"sc", "query", "ohmlog"}).exit_status, 0);
    write_file(conf, "meter COM8\noutput bench.csv\nbogus\n");
    EXPECT_EQ(service("start").exit_status, 1);
    expect_in(run_under_wine({"sc", "query", "lab"}).out, {"SERVICE_EXIT_CODE  : 2 "});
    expect_in(service("status").out,
              {"ohmlog: the service lab is stopped: exit status 2 (bad options)",
               "bench.conf:3: unknown option 'bogus'"});
    expect_in(line_with(read_file(session_dir() + "/services.log"), "3: unknown option 'bogus'"),
              {":err:eventlog:ReportEventW L\"lab: Z:"});
    // Stopped, and removed, while it starts: a broker that never answers holds the start 2 s.
    const int deaf = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(deaf, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(deaf, 4), 0);
    getsockname(deaf, reinterpret_cast<sockaddr*>(&address), &size);
    write_file(conf, "meter COM8\noutput start.csv\nappend\nmqtt mqtt://127.0.0.1:" +
                         std::to_string(ntohs(address.sin_port)) + "\n");
    EXPECT_EQ(run_under_wine({"net", "start", "lab"}).exit_status, 0);
    const std::string starting = run_under_wine({"sc", "query", "lab"}).out;
    if (starting.find("START_PENDING") != std::string::npos) { // its 30 s to start, when asked
        expect_in(starting, {"WAIT_HINT          : 0x7530"});
    }
    expect_in(service("stop").out, {"ohmlog: the service lab is stopped: exit status 0"});
    EXPECT_EQ(run_under_wine({"net", "start", "lab"}).exit_status, 0);
    EXPECT_EQ(service("uninstall", {}, "LAB").exit_status, 0);
    close(deaf);
    EXPECT_NE(run_under_wine({"sc", "query", "lab"}).exit_status, 0);
    unlink_com(8);
}

// Free ports on 127.0.0.1, each different: the probes are closed only once all are taken.
std::vector<std::string> free_ports(int count)
{
    std::vector<int> probes;
    std::vector<std::string> ports;
    for (int k = 0; k < count; ++k) {
        probes.push_back(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(probes.back(), reinterpret_cast<sockaddr*>(&address), size), 0);
        getsockname(probes.back(), reinterpret_cast<sockaddr*>(&address), &size);
        ports.push_back(std::to_string(ntohs(address.sin_port)));
    }
    for (const int probe : probes) {
        close(probe);
    }
    return ports;
}

// MQTT from the Windows build to Debian's mosquitto on loopback, watched by mosquitto_sub with
// each message's retain flag: readings, availability (retained, offline at the end), Home
// Assistant's discovery of the meters, power, energy, charge and alarm; a second logger on the
// node refused, the will of a killed one; a wrong password, no broker and a name not found
// said; mqtts:// refused, as this build has no TLS.
TEST(OhmlogWineTest, PublishesToMqtt)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter volts({"--reading", "DC  12.00   V"}, session_dir());
    SimMeter amperes({"--reading", "DC  0.500   A"}, session_dir());
    link_com(10, volts.path());
    link_com(11, amperes.path());
    const std::string dir = session_dir() + "/mqtt/";
    std::filesystem::create_directories(dir);
    const std::vector<std::string> ports = free_ports(3); // open, with a password, nobody's
    Launch passwords;
    passwords.argv = {"/usr/bin/mosquitto_passwd", "-c", "-b", dir + "passwords", "lab", "secret"};
    ASSERT_EQ(run_process(passwords).exit_status, 0);
    write_file(dir + "broker.conf", "persistence false\nuser root\nper_listener_settings true\n"
                                    "listener " +
                                        ports[0] +
                                        " 127.0.0.1\nallow_anonymous true\n"
                                        "listener " +
                                        ports[1] +
                                        " 127.0.0.1\nallow_anonymous false\n"
                                        "password_file " +
                                        dir + "passwords\n");
    Launch broker;
    broker.argv = {"/usr/sbin/mosquitto", "-c", dir + "broker.conf"};
    broker.stderr_path = dir + "broker.log";
    BackgroundProcess broker_process(broker);
    ASSERT_TRUE(eventually(
        [&] { return read_file(dir + "broker.log").find(" running") != std::string::npos; }));
    Launch watch;
    watch.argv = {"/usr/bin/stdbuf",
                  "-oL",
                  "/usr/bin/mosquitto_sub",
                  "-p",
                  ports[0],
                  "-V",
                  "5",
                  "--retain-as-published",
                  "-F",
                  "%r %t %p",
                  "-t",
                  "#"};
    watch.stdout_path = dir + "watched";
    write_file(watch.stdout_path, "");
    BackgroundProcess watcher(watch);
    Launch ready;
    ready.argv = {"/usr/bin/mosquitto_pub", "-p", ports[0], "-t", "ohm-test/ready", "-m", "1"};
    ASSERT_TRUE(eventually([&] {
        run_process(ready);
        return read_file(watch.stdout_path).find("ohm-test/ready") != std::string::npos;
    }));
    const std::string url = "mqtt://127.0.0.1:" + ports[0];
    const std::string ohmlog = windows_binary("ohmlog.exe");
    const ProcessResult run =
        run_under_wine({ohmlog, "-n", "4", "-i", "0.3", "--power", "U,I", "--alarm", "U:V>11",
                        "--mqtt", url, "--mqtt-node", "winbench", "U=COM10", "I=COM11"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    expect_in(run.err, {"  mqtt: ", " messages published, 0 dropped\r\n"});
    const auto watched = [&watch] { return read_file(watch.stdout_path); };
    EXPECT_TRUE(eventually([&] {
        return watched().find("1 ohm/winbench/availability offline") != std::string::npos;
    }));
    expect_in(watched(),
              {"1 ohm/winbench/availability online\n", "1 ohm/winbench/U/availability online\n",
               "0 ohm/winbench/U/reading {\"base_unit\":\"V\",",
               "0 ohm/winbench/power/reading {\"base_unit\":\"W\",",
               "0 ohm/winbench/power/energy {\"base_unit\":\"Wh\",",
               "0 ohm/winbench/I/charge {\"base_unit\":\"Ah\",",
               "1 homeassistant/sensor/winbench_U/config {",
               "\"default_entity_id\":\"sensor.winbench_u\"",
               "1 homeassistant/sensor/winbench_power/config {",
               "1 homeassistant/sensor/winbench_energy/config {",
               "1 homeassistant/sensor/winbench_I_charge/config {",
               "1 homeassistant/binary_sensor/winbench_alarm_U_V_above_11/config {",
               "1 ohm/winbench/alarm/U_V_above_11 ON\n",
               "1 ohm/winbench/U/availability offline\n"});
    expect_in(line_with(watched(), " homeassistant/sensor/winbench_U/config "),
              {"\"device_class\":\"voltage\"", "\"unit_of_measurement\":\"V\""});
    expect_in(line_with(watched(), " homeassistant/sensor/winbench_I/config "),
              {"\"device_class\":\"current\"", "\"unit_of_measurement\":\"A\""});
    // This machine as the node's owner: its name and its machine GUID.
    const std::regex owner("\"logger\":\"[^/\"]+/[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\",");
    EXPECT_TRUE(std::regex_search(line_with(watched(), " ohm/winbench/sensors "), owner));

    BackgroundProcess first(
        wine_launch({ohmlog, "-i", "0.3", "--mqtt", url, "--mqtt-node", "winbench", "U=COM10"}));
    EXPECT_TRUE(eventually(
        [&] { return count_of_text(watched(), "1 ohm/winbench/availability online") == 2; }));
    const ProcessResult second =
        run_under_wine({ohmlog, "-n", "1", "--mqtt", url, "--mqtt-node", "winbench", "I=COM11"});
    EXPECT_EQ(second.exit_status, 2);
    expect_in(second.err, {"ohmlog: another ohmlog on this machine publishes as node winbench; "
                           "name this one with --mqtt-node"});
    kill(first.pid(), SIGKILL);
    first.wait(10000);
    EXPECT_TRUE(eventually(
        [&] { return count_of_text(watched(), "1 ohm/winbench/availability offline") == 2; }));

    const auto said = [&](const std::string& broker_url,
                          std::vector<std::string> environment = {}) {
        return run_under_wine({ohmlog, "-n", "3", "-i", "0.5", "--mqtt", broker_url, "--mqtt-node",
                               "other", "I=COM11"},
                              std::move(environment))
            .err;
    };
    expect_in(said("mqtt://lab@127.0.0.1:" + ports[1], {"OHM_MQTT_PASSWORD=guess"}),
              {"ohmlog: mqtt: no connection to 127.0.0.1:" + ports[1] +
               ": login refused (not authorised); trying again"});
    // A file of the password as Notepad may save it, and as Windows PowerShell's echo writes it.
    write_file(dir + "password", "\xEF\xBB\xBFsecret\r\n");
    const std::vector<std::string> with_file = {ohmlog,
                                                "-n",
                                                "2",
                                                "--mqtt-node",
                                                "other",
                                                "--mqtt-password-file",
                                                "Z:" + dir + "password",
                                                "--mqtt",
                                                "mqtt://lab@127.0.0.1:" + ports[1],
                                                "I=COM11"};
    expect_in(run_under_wine(with_file).err, {" messages published, 0 dropped\r\n"});
    write_file(dir + "password", std::string("\xFF\xFEs\0e\0", 6));
    expect_in(run_under_wine(with_file).err, {"password: it is UTF-16; save it as UTF-8"});
    expect_in(said("mqtt://127.0.0.1:" + ports[2]),
              {"ohmlog: mqtt: no connection to 127.0.0.1:" + ports[2] +
               ": connection refused; trying again"});
    EXPECT_TRUE(
        std::regex_search(said("mqtt://broker.invalid"),
                          std::regex("ohmlog: mqtt: no connection to broker.invalid:1883: "
                                     "name not found \\(broker.invalid: [A-Z][a-z ]+\\); ")));
    const ProcessResult secure = run_under_wine({ohmlog, "--mqtt", "mqtts://127.0.0.1", "U=COM10"});
    EXPECT_EQ(secure.exit_status, 2);
    expect_in(secure.err,
              {"ohmlog: mqtts:// is not in the Windows builds: their libmosquitto has no TLS"});
    unlink_com(10);
    unlink_com(11);
}

// The lines of the first block of code (indented four spaces) after `from` in the text.
std::vector<std::string> code_block(const std::string& text, std::size_t& from)
{
    std::vector<std::string> lines;
    std::istringstream rest(text.substr(from));
    for (std::string line; std::getline(rest, line);) {
        from += line.size() + 1;
        if (line.rfind("    ", 0) == 0) {
            lines.push_back(line.substr(4, line.find("  #") - 4));
        } else if (!lines.empty()) {
            break;
        }
    }
    return lines;
}

// The README's set-up of a Windows service, its file and its commands, run as written (the
// file written where Notepad would save it), with the meter on COM3; then stopped and removed.
TEST(OhmlogWineTest, TheReadmesWindowsServiceRunsAsWritten)
{
    ASSERT_TRUE(in_wine_session()) << "run through tests/rig/wine-session";
    SimMeter meter({}, session_dir());
    link_com(3, meter.path());
    const std::string readme = read_file(std::string(OHM_SOURCE_DIR) + "/README.md");
    std::size_t at = readme.find("\n### As a Windows service\n");
    ASSERT_NE(at, std::string::npos);
    std::string file;
    for (const std::string& line : code_block(readme, at)) {
        file += line + "\r\n";
    }
    const std::string drive_c = std::string(std::getenv("WINEPREFIX")) + "/drive_c/";
    for (std::string command : code_block(readme, at)) {
        command.erase(command.find_last_not_of(' ') + 1);
        std::istringstream words(command);
        std::vector<std::string> argv;
        for (std::string word; words >> word;) {
            argv.push_back(word);
        }
        if (argv[0] == "notepad") {
            std::replace(argv[1].begin(), argv[1].end(), '\\', '/');
            write_file(drive_c + argv[1].substr(3), file);
            continue;
        }
        if (argv[0] == "mkdir") {
            argv.insert(argv.begin(), {"cmd", "/c"});
        } else {
            argv[0] = windows_binary(argv[0]); // ohmlog.exe, as in the unzipped folder
        }
        const ProcessResult result = run_under_wine(argv);
        EXPECT_EQ(result.exit_status, 0) << command << "\n" << result.out << result.err;
    }
    const std::string folder = drive_c + "ProgramData/ohmlog/bench";
    EXPECT_TRUE(eventually([&] {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() == ".csv" &&
                read_file(entry.path().string()).find(",ok,DC -0.842   V\r\n") !=
                    std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    // Stopped, started again, and removed while it runs: two runs, each with its summary.
    const auto service = [](const std::string& action) {
        return run_under_wine(
            {windows_binary("ohmlog.exe"), "service", action, "--service-name", "bench"});
    };
    expect_in(service("stop").out, {"ohmlog: the service bench is stopped: exit status 0"});
    expect_in(service("start").out, {"ohmlog: the service bench is running"});
    EXPECT_EQ(service("uninstall").exit_status, 0);
    const std::string log = read_file(folder + "/bench.log");
    EXPECT_EQ(count_of_text(log, " info: started with C:\\ohmlog\\bench.conf"), 2) << log;
    const std::regex summary("Z info: [0-9]+ readings? in ");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), summary),
                            std::sregex_iterator()),
              2)
        << log;
    EXPECT_NE(run_under_wine({"sc", "query", "bench"}).exit_status, 0);
    unlink_com(3);
}

} // namespace
