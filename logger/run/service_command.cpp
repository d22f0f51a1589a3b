#include "service_command.h"

#include "log_options.h"
#include "log_platform.h"
#include "log_run.h"
#include "log_service.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace logbook {

namespace {

struct ServiceCommand {
    std::string action;
    std::string name = "ohmlog";
    std::string config;
    bool help = false;
};

const char* service_usage()
{
    return "usage: ohmlog service install --config FILE [--service-name NAME]\n"
           "       ohmlog service uninstall|start|stop|status [--service-name NAME]\n"
           "ohmlog as a Windows service: the run of `ohmlog --config FILE`, started with\n"
           "Windows and restarted after a failure, its messages in the event log.\n"
           "  install      check FILE as --check-config does, in the service's folder\n"
           "               %ProgramData%\\ohmlog\\NAME (relative paths lead there), and make\n"
           "               the service; from a prompt run as administrator\n"
           "  uninstall    stop it and remove it; its folder is kept\n"
           "  start, stop  start it and wait for it to run; stop it and wait for its end\n"
           "  status       its state, exit status, folder and last message\n"
           "  --service-name NAME  the service (letters, digits, _, -; default ohmlog): one a\n"
           "               bench, each with its file\n";
}

// --NAME VALUE or --NAME=VALUE at argv[k]: the value, the next word taken when it is there.
bool option_value(int argc, char** argv, int& k, const char* name, std::string& value,
                  std::string& problem)
{
    const std::string word = argv[k];
    const std::string option = std::string("--") + name;
    if (word.rfind(option + "=", 0) == 0) {
        value = word.substr(option.size() + 1);
    } else if (k + 1 < argc) {
        value = argv[++k];
    } else {
        problem = "missing value after " + option;
    }
    return problem.empty();
}

bool parse_service_command(int argc, char** argv, ServiceCommand& command, std::string& problem)
{
    for (int k = 2; k < argc && problem.empty(); ++k) {
        const std::string word = argv[k];
        const auto named = [&word](const char* option) {
            const std::string whole = std::string("--") + option;
            return word == whole || word.rfind(whole + "=", 0) == 0;
        };
        if (word == "--help") {
            command.help = true;
        } else if (named("service-name")) {
            option_value(argc, argv, k, "service-name", command.name, problem);
        } else if (named("config")) {
            option_value(argc, argv, k, "config", command.config, problem);
        } else if (command.action.empty() && word.rfind('-', 0) != 0) {
            command.action = word;
        } else {
            problem = "service: unknown word '" + word + "'";
        }
    }
    if (!problem.empty() || command.help) {
        return problem.empty();
    }
    const bool with_file = command.action == "install" || command.action == "run";
    if (command.action.empty()) {
        problem = "service: install, uninstall, start, stop or status?";
    } else if (!with_file && command.action != "uninstall" && command.action != "start" &&
               command.action != "stop" && command.action != "status") {
        problem = "service: unknown action '" + command.action + "'";
    } else if (!plain_name(command.name)) {
        problem = "bad --service-name '" + command.name + "': letters, digits, _ and -";
    } else if (with_file && command.config.empty()) {
        problem = "service " + command.action + " needs --config FILE";
    } else if (!with_file && !command.config.empty()) {
        problem = "--config is for service install";
    }
    return problem.empty();
}

int run_with(std::vector<std::string> words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return run_ohmlog(static_cast<int>(words.size()), argv.data());
}

// What a service's file must hold beyond what a run checks: a service has no standard output
// for its rows, and reads meters, not files.
int service_file_problem(const std::string& config)
{
    std::string program = "ohmlog";
    std::string option = "--config";
    std::string file = config;
    char* argv[] = {program.data(), option.data(), file.data(), nullptr};
    LogOptions options;
    std::string problem;
    if (!parse_log_options(3, argv, options, problem)) {
        say(Severity::error, problem);
        return 2;
    }
    if (!options.from.empty() || options.output.empty()) {
        say(Severity::error,
            config + ": a service writes its rows to a file: name it with output FILE");
        return 2;
    }
    return 0;
}

} // namespace

bool is_service_command(int argc, char** argv)
{
    return argc > 1 && std::strcmp(argv[1], "service") == 0;
}

int run_service_command(int argc, char** argv)
{
    ServiceCommand command;
    std::string problem;
    if (!parse_service_command(argc, argv, command, problem)) {
        say(Severity::error, problem);
        std::fputs("Try 'ohmlog service --help' for more information.\n", stderr);
        return 2;
    }
    if (command.help) {
        std::fputs(service_usage(), stdout);
        return 0;
    }
    const std::string& name = command.name;
    if (command.action == "install") {
        // The service's command line names the file by its whole path.
        const std::string config =
            file_name(std::filesystem::absolute(file_path(command.config)).make_preferred());
        return install_service(name, config, [&config] {
            const int checked = run_with({"ohmlog", "--check-config", config});
            std::fflush(stdout); // what the run would do, before what follows
            return checked != 0 ? checked : service_file_problem(config);
        });
    }
    if (command.action == "run") {
        const std::string& config = command.config;
        return run_as_service(name, config, [&config] {
            const int refused = service_file_problem(config);
            return refused != 0 ? refused : run_with({"ohmlog", "--config", config});
        });
    }
    return command.action == "uninstall" ? uninstall_service(name)
           : command.action == "start"   ? start_service(name)
           : command.action == "stop"    ? stop_service(name)
                                         : show_service(name);
}

} // namespace logbook
