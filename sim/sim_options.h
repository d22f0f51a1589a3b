// Command-line options of metersim.
#pragma once

#include <string>
#include <vector>

struct SimOptions {
    std::vector<std::string> readings; // frames without their carriage return, cycled
    int delay_ms = 20;                 // from the request to the first byte of the reply
    double char_ms = 10000.0 / 600.0;  // 1 start + 7 data + 2 stop bits at 600 baud
    bool silent = false;
    int cut = -1;               // bytes of each reply actually sent; -1: all
    std::string junk;           // sent right before each reply
    std::string stray;          // sent unsolicited after each reply...
    int stray_after_ms = 100;   // ...this long after its last byte
    int tail_from = 1 << 30;    // bytes from here on arrive late...
    int tail_delay_ms = 0;      // ...by this much
    bool stream = false;        // sends frames back to back, asked or not
    std::string lines_dir;      // answer only while DTR is on and RTS off
    std::string log_file;       // every byte received is appended here
    std::string gap_log;        // each request: how long after the meter's last byte
    std::string request_times;  // each request: when it came, on the real-time clock
    std::string path_file;      // the device path is also written here
    int hangup_after = 0;       // the line closes after this many replies; 0: never
    int vanish_on_request = 0;  // the line closes when this request arrives; 0: never
    int not_ready_ms = 0;       // requests this soon after a reply's last byte go unheard
    int lose_every = 0;         // every Nth request goes unheard; 0: none
    bool twice = false;         // each reply is sent a second time right after the first
    std::vector<int> delays_ms; // of each reply in turn, the last one then for good
    bool in_turn = false;       // a request heard while answering is answered delay_ms after
    bool busy_deaf = false;     // a request heard while a reply is under way is ignored
    bool numbered = false;      // each reply shows the number of the request it answers
    std::string link;           // kept a symbolic link to the line while it is plugged in
    bool version = false;       // print the version and end
};

// False with an empty problem for --help. Texts accept \r, \n, \t, \\ and \xHH, so that a zero byte
// or a control can be sent.
bool parse_sim_options(int argc, char** argv, SimOptions& options, std::string& problem);
const char* sim_usage();
