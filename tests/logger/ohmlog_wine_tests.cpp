// The Windows ohmlog under Wine, started by tests/rig/wine-session: a simulated meter behind
// COM1 that answers only while DTR is on and RTS off.
#include "process.h"
#include "sim_meter.h"
#include "wine_session.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <sys/mount.h>
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
    const ProcessResult mqtt =
        run_under_wine({windows_binary("ohmlog.exe"), "--mqtt", "mqtt://127.0.0.1:1", "U=COM4"});
    EXPECT_EQ(mqtt.exit_status, 2);
    EXPECT_NE(mqtt.err.find("--mqtt: this build has no MQTT"), std::string::npos) << mqtt.err;
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
    // A second run naming the file is refused, with the process that writes it.
    const ProcessResult second = run_under_wine(
        {windows_binary("ohmlog.exe"), "-n", "1", "-o", "Z:" + csv, "--append", "COM6"});
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_TRUE(std::regex_search(
        second.err, std::regex("cannot write Z:.*/run.csv: another ohmlog, process [1-9][0-9]*, "
                               "writes it\r?\n")))
        << second.err;
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

} // namespace
