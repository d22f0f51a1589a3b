// Runs of ohmprobe that both forms must answer alike: the Linux binary with simulated meters
// behind /dev/ttyS0, /dev/ttyS1 and /dev/ttyS11, the Windows one with them behind COM1, COM2
// and COM12. Only the line end differs.
#pragma once

#include "line_log.h"
#include "process.h"
#include "sim_meter.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The meters behind the ports of the cases.
const char* const PORT1_READING = "DC -0.842   V";
const char* const PORT2_READING = "AC  0.445   V";
const char* const PORT12_READING = "OH  0.951KOhm";

struct ProbeCase {
    std::vector<std::string> parameters;
    std::vector<std::string> lines; // printed, without line ends
    std::vector<int> opened;        // port numbers whose device the run configured
    int asked;                      // the port whose meter was read; 0 for none
};

inline const std::vector<std::string>& help_lines()
{
    // Literals are split where a hexadecimal escape would swallow the letter after it.
    // NOLINTBEGIN(bugprone-suspicious-missing-comma)
    // clang-format off
    static const std::vector<std::string> lines{
        "Pilote ex\xE9" "cutable pour multim\xE8" "tre MAS 345",
        "    (ohmprobe 1.0, pilote en ligne de commande pour la liaison RS-232)",
        "     ",
        "Le premier param\xE8" "tre est le nom de la fonction : ead, nead, detail, titre...",
        "Le deuxi\xE8" "me param\xE8" "tre (\xE9" "ventuel) est un nombre de 2 chiffres : ",
        "     - 1er chiffre = voie de communication s\xE9" "rie : ",
        "         1 pour Com1:, 2 pour Com2:, etc",
        "     - 2e chiffre : mettre 0, car il n'y a qu'une seule voie de mesure",
        "par exemple, pour la mesure en com1:, mettre en param\xE8" "tre : ead 10",
    };
    // clang-format on
    // NOLINTEND(bugprone-suspicious-missing-comma)
    return lines;
}

inline std::vector<ProbeCase> probe_cases()
{
    return {
        {{"ead", "10"}, {"-0.8420000000"}, {1}, 1},
        {{"EAD", "10"}, {"-0.8420000000"}, {1}, 1},
        {{"ea", "10"}, {"-842"}, {1}, 1},
        {{"nead", "10"}, {"DC   V"}, {1}, 1},
        {{"stdnea", "10"}, {"DC   V*1000"}, {1}, 1},
        {{"ead"}, {"0.0000000000"}, {1}, 0},
        {{"ead", "20"}, {"0.4450000000"}, {2}, 2},
        {{"StdEad", "20"}, {"0.4450000000"}, {2}, 2},
        {{"ead", "123"}, {"0.0000000000"}, {12}, 0},
        {{"ea", "120"}, {"951"}, {12}, 12},
        {{"ead", "5"}, {"0.0000000000"}, {1}, 0},
        {{"ead", "10.4"}, {"-0.8420000000"}, {1}, 1},
        {{"ead", "10.5"}, {"0.0000000000"}, {1}, 0},
        {{"ead", "-10"}, {"0.0000000000"}, {}, 0},
        {{"ead", "1280"}, {"0.0000000000"}, {}, 0},
        {{"nea", "-10"}, {"*1000"}, {}, 0},
        {{"ead", "abc"}, {"-0.8420000000"}, {1}, 1},
        {{"rsb"}, {"0"}, {1}, 0},
        {{"rsb", "10"}, {"0"}, {1}, 0},
        {{"rsa", "10"}, {"0"}, {1}, 0},
        {{"rsad", "10"}, {"0.0000000000"}, {1}, 0},
        {{"sb", "10", "1"}, {"-777"}, {1}, 0},
        {{"sa", "10", "300"}, {"-777"}, {1}, 0},
        {{"eb", "10"}, {"-777"}, {1}, 0},
        {{"sad", "10", "2.5"}, {"-777.0000000000"}, {1}, 0},
        {{"nsa", "10"}, {""}, {1}, 0},
        {{"nsad"}, {""}, {1}, 0},
        {{"neb"}, {""}, {1}, 0},
        {{"nsb"}, {""}, {1}, 0},
        {{"titre"}, {"MAS345"}, {1}, 0},
        {{"detail"}, {""}, {1}, 0},
        {{"stdtitre"}, {"titre dll"}, {1}, 0},
        {{"stddetail"}, {"d\xE9tail de la dll fictive"}, {1}, 0},
        {{"nothing", "10"}, {}, {1}, 0},
        {{"eadouble", "10"}, {}, {1}, 0},
        {{"?"}, help_lines(), {1}, 0},
        {{"ead?", "10"}, help_lines(), {1}, 0},
        {{}, help_lines(), {1}, 0},
    };
}

inline std::string describe(const ProbeCase& c)
{
    std::string text = "ohmprobe";
    for (const auto& parameter : c.parameters) {
        text += " [" + parameter + "]";
    }
    return text;
}

inline std::string expected_output(const ProbeCase& c, const std::string& line_end)
{
    std::string output;
    for (const auto& line : c.lines) {
        output += line + line_end;
    }
    return output;
}

// The three meters of the cases, and what a run did to them.
class ProbeRig {
public:
    explicit ProbeRig(const std::string& lines_dir)
        : port1_({"--reading", PORT1_READING}, lines_dir),
          port2_({"--reading", PORT2_READING}, lines_dir),
          port12_({"--reading", PORT12_READING}, lines_dir)
    {
    }

    const SimMeter& meter(int port) const { return *meters_.at(port); }

    // Call before a run: the requests each meter has had so far.
    void note_requests()
    {
        for (const auto& [port, sim] : meters_) {
            requests_before_[port] = sim->received().size();
        }
    }

    // The run's output, the ports it configured (from the line shim's log) and the meter it
    // asked, against the case.
    void check(const ProbeCase& c, const ProcessResult& result, const std::string& line_log,
               const std::string& line_end) const
    {
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(visible(result.out), visible(expected_output(c, line_end)));
        std::set<int> opened;
        for (int pty : configured_ptys(line_log)) {
            const auto port = port_of_pty_.find(pty);
            opened.insert(port != port_of_pty_.end() ? port->second : -1);
        }
        EXPECT_EQ(opened, std::set<int>(c.opened.begin(), c.opened.end())) << line_log;
        for (const auto& [port, sim] : meters_) {
            const std::size_t requests = sim->received().size() - requests_before_.at(port);
            EXPECT_EQ(requests, port == c.asked ? 1u : 0u) << "requests to port " << port;
        }
    }

private:
    SimMeter port1_;
    SimMeter port2_;
    SimMeter port12_;
    const std::map<int, const SimMeter*> meters_{{1, &port1_}, {2, &port2_}, {12, &port12_}};
    const std::map<int, int> port_of_pty_{{pts_number(port1_.path()), 1},
                                          {pts_number(port2_.path()), 2},
                                          {pts_number(port12_.path()), 12}};
    std::map<int, std::size_t> requests_before_;
};

// Lines that fail the way real ones do; every run must still end in time.
struct BadLineCase {
    const char* what;
    std::vector<std::string> meter_options;
};

inline std::vector<BadLineCase> bad_line_cases()
{
    return {
        {"hangs_up_in_the_middle_of_its_reply", {"--cut", "6", "--hangup-after", "1"}},
        {"vanishes_before_it_answers", {"--vanish-on-request", "1"}},
        {"streams_without_pause", {"--stream", "--char-ms", "1"}},
        {"streams_without_line_ends",
         {"--stream", "--reading", "0123456789", "--cut", "10", "--char-ms", "0.2"}},
        {"answers_garbage",
         {"--reading", "\\xff\\xfe\\x01\\x80garbage\\x13\\x11\\x00\\x1b[2J", "--junk",
          "\\x00\\x7f\\xe9"}},
        {"answers_more_digits_than_its_columns", {"--reading", "DC 999999999999999 V"}},
    };
}

inline std::string bad_line_name(const testing::TestParamInfo<BadLineCase>& case_info)
{
    return case_info.param.what;
}
