#include "exchange_invariant.h"

#include "sim_meter.h"
#include "test_paths.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <thread>

#include <sys/resource.h>

namespace {

int uniform(std::mt19937& random, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(random);
}

bool chance(std::mt19937& random, int percent)
{
    return uniform(random, 1, 100) <= percent;
}

// Usual replies with late ones among them, some falling back by steps.
std::vector<int> delay_list(std::mt19937& random, int usual)
{
    std::vector<int> delays(static_cast<std::size_t>(uniform(random, 1, 4)), usual);
    for (int late = uniform(random, 1, 3); late > 0; --late) {
        delays.push_back(uniform(random, 0, 2500));
        while (chance(random, 40)) {
            delays.push_back(uniform(random, 0, delays.back()));
        }
        delays.insert(delays.end(), static_cast<std::size_t>(uniform(random, 0, 3)), usual);
    }
    for (std::size_t i = 2; i < delays.size(); ++i) {
        const bool rose = delays[i - 1] > delays[i - 2];
        delays[i] = rose ? std::min(delays[i], delays[i - 1]) : delays[i];
    }
    return delays;
}

// ohmlog and the load run behind metersim: below it when it may be raised, else lowered.
int logger_niceness()
{
    static const int niceness = [] {
        BackgroundProcess probe(Launch{{"/bin/sleep", "5"}});
        return setpriority(PRIO_PROCESS, static_cast<id_t>(probe.pid()), -10) == 0 ? 0 : 10;
    }();
    return niceness;
}

long long epoch_ns(const std::string& time) // 2026-12-10T20:56:19.492Z
{
    std::tm parts{};
    std::istringstream(time) >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
    return (static_cast<long long>(timegm(&parts)) * 1000 + std::stoll(time.substr(20, 3))) *
           1000000;
}

// The rows' letters (. ok, n no reply, g garbled), and what is wrong with them.
std::string check_rows(const MeterCase& meter_case, const std::string& csv,
                       const std::vector<long long>& requests, std::ostream& wrong,
                       long& wrong_rows)
{
    std::istringstream rows(csv.substr(csv.find('\n') + 1));
    std::string letters;
    for (std::string row; std::getline(rows, row);) {
        std::vector<std::string> fields(1);
        for (char c : row) {
            if (c == ',' && fields.size() < 9) {
                fields.emplace_back();
            } else {
                fields.back().push_back(c);
            }
        }
        const double elapsed = std::stod(fields[1]);
        const double slot = meter_case.interval_s * static_cast<double>(letters.size());
        letters += fields[7] == "ok" ? '.' : fields[7][0];
        if (meter_case.every_slot &&
            (elapsed < slot - 0.001 || elapsed >= slot + meter_case.interval_s)) {
            wrong << "; row " << letters.size() << " at " << elapsed << " s";
        }
        const auto number = static_cast<std::size_t>(fields[7] == "ok" ? std::stol(fields[5]) : 0);
        if (number > 0 &&
            (number > requests.size() || requests[number - 1] < epoch_ns(fields[0]))) {
            wrong << "; row " << letters.size() << " holds another request's reply";
            ++wrong_rows;
        }
    }
    if (static_cast<int>(letters.size()) != meter_case.rows ||
        (meter_case.ends_in_step && letters.find('.', letters.size() - 4) == std::string::npos)) {
        wrong << "; rows out of step or missing";
    }
    return letters;
}

} // namespace

MeterCase random_case(std::mt19937& random, int most_rows, double longest_interval)
{
    static const int usual_delays[] = {0, 20, 20, 50, 100, 200, 350, 600};
    static const int beyond_bound[] = {1050, 1200, 1300, 1600, 2000, 2300};
    static const double intervals[] = {0.0, 0.0, 0.5, 1.0, 2.0};
    MeterCase meter_case;
    const int usual = usual_delays[uniform(random, 0, 7)];
    const int kind = uniform(random, 1, 100);
    std::vector<int> delays = kind <= 30   ? std::vector<int>{usual}
                              : kind <= 45 ? std::vector<int>{beyond_bound[uniform(random, 0, 5)]}
                                           : delay_list(random, usual);
    std::string list;
    for (int delay : delays) {
        list += (list.empty() ? "" : ",") + std::to_string(delay);
    }
    auto& options = meter_case.meter_options;
    options = {"--delays", list};
    for (const auto& [flag, percent] :
         {std::pair{"--twice", 25}, {"--in-turn", 30}, {"--deaf-while-answering", 20}}) {
        if (chance(random, percent)) {
            options.emplace_back(flag);
        }
    }
    const bool losing = chance(random, 30);
    const bool not_ready = chance(random, 20);
    for (const auto& [flag, on, low, high] : {std::tuple{"--lose-every", losing, 2, 5},
                                              {"--not-ready", not_ready, 20, 80},
                                              {"--char-ms", chance(random, 40), 0, 30}}) {
        if (on) {
            options.insert(options.end(), {flag, std::to_string(uniform(random, low, high))});
        }
    }
    meter_case.interval_s = std::min(intervals[uniform(random, 0, 4)], longest_interval);
    meter_case.rows = uniform(random, std::min(10, most_rows), most_rows);
    // A reading whose request and repeat both go unheard (a meter that loses requests and is not
    // ready), or a reply past the bound, costs a few rows while the line settles.
    const auto late = std::count_if(delays.begin(), delays.end(), [](int ms) { return ms > 700; });
    meter_case.ends_in_step = delays.back() <= 350 && !(losing && not_ready) &&
                              meter_case.rows >= static_cast<int>(delays.size() + 4 * late) + 6;
    return meter_case;
}

CpuLoad::CpuLoad()
{
    for (int i = 0; i < 2; ++i) {
        Launch spin{{"/bin/sh", "-c", "while :; do :; done"}};
        spin.niceness = logger_niceness();
        busy.push_back(std::make_unique<BackgroundProcess>(spin));
    }
}

Totals check_cases(const std::function<std::optional<MeterCase>()>& next, int parallel,
                   std::ostream& log, const std::function<bool()>& loaded)
{
    Totals totals;
    std::mutex lock;
    const auto check_each = [&] {
        std::unique_lock<std::mutex> hold(lock);
        for (std::optional<MeterCase> meter_case; (meter_case = next());) {
            const bool beside_load = loaded();
            hold.unlock();
            const std::string dir = make_temp_dir("ohm-invariant");
            std::vector<std::string> options = meter_case->meter_options;
            options.insert(options.end(), {"--numbered", "--request-times", dir + "/requests"});
            SimMeter meter(options);
            setpriority(PRIO_PROCESS, static_cast<id_t>(meter.pid()), -10);
            std::ostringstream interval;
            interval << meter_case->interval_s;
            Launch launch{{OHM_NATIVE_BIN "/ohmlog", "-n", std::to_string(meter_case->rows), "-i",
                           interval.str(), meter.path()}};
            launch.niceness = logger_niceness();
            launch.timeout_ms = 20000 + meter_case->rows * 4000;
            const ProcessResult run = run_process(launch);
            std::vector<long long> requests;
            std::istringstream times(read_file(dir + "/requests"));
            for (long long at = 0; times >> at;) {
                requests.push_back(at);
            }
            remove_tree(dir);
            std::ostringstream wrong;
            long wrong_rows = 0;
            const std::string letters =
                check_rows(*meter_case, run.out, requests, wrong, wrong_rows);
            hold.lock();
            ++totals.cases;
            totals.rows += static_cast<long>(letters.size());
            totals.loaded_rows += beside_load ? static_cast<long>(letters.size()) : 0;
            totals.ok_rows += std::count(letters.begin(), letters.end(), '.');
            const std::string failures = wrong.str() + (run.exit_status != 0 ? "; " + run.err : "");
            totals.wrong_rows += wrong_rows;
            if (!failures.empty()) {
                ++totals.failed_cases;
                log << "metersim --numbered";
                for (const auto& option : meter_case->meter_options) {
                    log << ' ' << option;
                }
                log << "; ohmlog -n " << meter_case->rows << " -i " << interval.str()
                    << (beside_load ? ", beside a CPU load: " : ": ") << letters << failures
                    << std::endl;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int k = 0; k < parallel; ++k) {
        workers.emplace_back(check_each);
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return totals;
}
