#include "exchange_invariant.h"

#include "process.h"
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

// metersim's delays in ms: a usual one, then late ones.
constexpr int USUAL_DELAYS[] = {0, 20, 20, 50, 100, 200, 350, 600};
constexpr int BEYOND_BOUND[] = {1050, 1200, 1300, 1600, 2000, 2300};
constexpr double INTERVALS[] = {0.0, 0.0, 0.5, 1.0, 2.0};

int uniform(std::mt19937& random, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(random);
}

bool chance(std::mt19937& random, double probability)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < probability;
}

template <typename T, std::size_t N>
T pick(std::mt19937& random, const T (&values)[N])
{
    return values[static_cast<std::size_t>(uniform(random, 0, static_cast<int>(N) - 1))];
}

// Usual replies with late ones among them; after a rise the delay does not rise again at once.
std::vector<int> delay_list(std::mt19937& random, int usual)
{
    std::vector<int> delays(static_cast<std::size_t>(uniform(random, 1, 4)), usual);
    for (int late = uniform(random, 1, 3); late > 0; --late) {
        delays.push_back(uniform(random, 0, 2500));
        while (chance(random, 0.4)) {
            delays.push_back(uniform(random, 0, delays.back()));
        }
        delays.insert(delays.end(), static_cast<std::size_t>(uniform(random, 0, 3)), usual);
    }
    for (std::size_t i = 2; i < delays.size(); ++i) {
        if (delays[i] > delays[i - 1] && delays[i - 1] > delays[i - 2]) {
            delays[i] = delays[i - 1];
        }
    }
    return delays;
}

std::string joined(const std::vector<int>& values)
{
    std::string text;
    for (int value : values) {
        text += (text.empty() ? "" : ",") + std::to_string(value);
    }
    return text;
}

// Milliseconds since the epoch of a CSV time, 2026-12-10T20:56:19.492Z.
long long epoch_ms(const std::string& time)
{
    std::tm parts{};
    std::istringstream(time.substr(0, 19)) >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
    return static_cast<long long>(timegm(&parts)) * 1000 + std::stoll(time.substr(20, 3));
}

// The fields before the frame, which is last and may hold commas.
std::vector<std::string> fields_of(const std::string& row)
{
    std::vector<std::string> fields;
    for (std::size_t start = 0, comma; fields.size() < 8; start = comma + 1) {
        comma = row.find(',', start);
        if (comma == std::string::npos) {
            break;
        }
        fields.push_back(row.substr(start, comma - start));
    }
    return fields;
}

// Whether metersim may be given a higher priority than ours: as root, it runs ahead; otherwise
// ohmlog and the load run behind it.
int logger_niceness()
{
    static const int niceness = [] {
        Launch sleeper;
        sleeper.argv = {"/bin/sleep", "5"};
        BackgroundProcess probe(sleeper);
        return setpriority(PRIO_PROCESS, static_cast<id_t>(probe.pid()), -10) == 0 ? 0 : 10;
    }();
    return niceness;
}

char status_letter(const std::string& status)
{
    return status == "ok" ? '.' : status == "no-reply" ? 'n' : status == "garbled" ? 'g' : '?';
}

void check_rows(const MeterCase& meter_case, const std::string& csv,
                const std::vector<long long>& requests_ns, CaseResult& result)
{
    std::istringstream rows(csv);
    std::string row;
    std::getline(rows, row); // the header
    std::vector<double> elapsed;
    while (std::getline(rows, row)) {
        row.erase(row.find_last_not_of('\r') + 1);
        const std::vector<std::string> fields = fields_of(row);
        if (fields.size() < 8) {
            result.problems.push_back("a row that is not one: " + row);
            continue;
        }
        elapsed.push_back(std::stod(fields[1]));
        result.statuses += status_letter(fields[7]);
        if (fields[7] != "ok") {
            continue;
        }
        // The row's first request went out at its time or later; its number names its request.
        const long number = std::stol(fields[5]);
        const long long row_ns = epoch_ms(fields[0]) * 1000000;
        if (number < 1 || number > static_cast<long>(requests_ns.size()) ||
            requests_ns[static_cast<std::size_t>(number - 1)] < row_ns) {
            result.wrong_rows.push_back(static_cast<int>(elapsed.size()));
        }
    }
    if (static_cast<int>(elapsed.size()) != meter_case.rows) {
        result.problems.push_back(std::to_string(elapsed.size()) + " rows");
    }
    for (std::size_t k = 0; meter_case.every_slot && k < elapsed.size(); ++k) {
        const double slot = static_cast<double>(k) * meter_case.interval_s;
        if (elapsed[k] < slot - 0.001 || elapsed[k] >= slot + meter_case.interval_s) {
            result.problems.push_back("row " + std::to_string(k + 1) + " at " +
                                      std::to_string(elapsed[k]) + " s, not in its interval");
        }
    }
    const std::size_t tail = std::min<std::size_t>(4, result.statuses.size());
    if (meter_case.ends_in_step &&
        result.statuses.find('.', result.statuses.size() - tail) == std::string::npos) {
        result.problems.push_back("out of step at the end");
    }
}

} // namespace

std::string describe(const MeterCase& meter_case)
{
    std::string text = "metersim --numbered";
    for (const auto& option : meter_case.meter_options) {
        text += " " + option;
    }
    std::ostringstream interval;
    interval << meter_case.interval_s;
    return text + "; ohmlog -n " + std::to_string(meter_case.rows) +
           (meter_case.interval_s > 0.0 ? " -i " + interval.str() : "");
}

MeterCase random_case(std::mt19937& random, int most_rows, double longest_interval)
{
    MeterCase meter_case;
    auto& options = meter_case.meter_options;
    const int usual = pick(random, USUAL_DELAYS);
    const double kind = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    std::vector<int> delays;
    if (kind < 0.3) {
        delays = {usual};
        options = {"--delay", std::to_string(usual)};
    } else if (kind < 0.45) {
        delays = {pick(random, BEYOND_BOUND)};
        options = {"--delay", std::to_string(delays[0])};
    } else {
        delays = delay_list(random, usual);
        options = {"--delays", joined(delays)};
    }
    const bool losing = chance(random, 0.3);
    const bool not_ready = chance(random, 0.2);
    for (const char* flag : {"--twice", "--in-turn", "--deaf-while-answering"}) {
        if (chance(random, flag[2] == 'd' ? 0.2 : flag[2] == 't' ? 0.25 : 0.3)) {
            options.emplace_back(flag);
        }
    }
    if (losing) {
        options.insert(options.end(), {"--lose-every", std::to_string(uniform(random, 2, 5))});
    }
    if (not_ready) {
        options.insert(options.end(), {"--not-ready", std::to_string(uniform(random, 20, 80))});
    }
    if (chance(random, 0.4)) {
        options.insert(options.end(), {"--char-ms", std::to_string(uniform(random, 0, 30))});
    }
    meter_case.interval_s = std::min(pick(random, INTERVALS), longest_interval);
    meter_case.rows = uniform(random, std::min(10, most_rows), most_rows);
    // A request and its repeat may both go unheard by a meter that loses requests and is not
    // ready: that reading has no reply, and the line settles for seconds. So does a late reply:
    // the rows it costs, and a few, come before the end.
    const auto late = std::count_if(delays.begin(), delays.end(), [](int ms) { return ms > 700; });
    meter_case.ends_in_step = delays.back() <= 350 && !(losing && not_ready) &&
                              meter_case.rows >= static_cast<int>(delays.size() + 4 * late) + 6;
    return meter_case;
}

CaseResult check_case(const MeterCase& meter_case)
{
    CaseResult result;
    const std::string dir = make_temp_dir("ohm-invariant");
    std::vector<std::string> options = meter_case.meter_options;
    options.emplace_back("--numbered");
    const int niceness = logger_niceness();
    SimMeter meter(options);
    if (niceness == 0) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(meter.pid()), -10);
    }
    Launch launch;
    launch.argv = {OHM_NATIVE_BIN "/ohmlog", "-n", std::to_string(meter_case.rows)};
    if (meter_case.interval_s > 0.0) {
        std::ostringstream interval;
        interval << meter_case.interval_s;
        launch.argv.insert(launch.argv.end(), {"-i", interval.str()});
    }
    launch.argv.push_back(meter.path());
    launch.environment = {"LD_PRELOAD=" OHM_PRELOAD_FIRST OHM_LINE_SHIM,
                          "OHM_REQUEST_LOG=" + dir + "/requests"};
    launch.niceness = niceness;
    // Rows of a meter that never answers in time come a second or an interval apart.
    launch.timeout_ms =
        20000 + static_cast<int>(meter_case.rows * (2000 + 1000 * meter_case.interval_s));
    const ProcessResult run = run_process(launch);
    std::vector<long long> requests_ns;
    std::istringstream requests(read_file(dir + "/requests"));
    for (long long at = 0; requests >> at;) {
        requests_ns.push_back(at);
    }
    result.requests = static_cast<int>(requests_ns.size());
    if (run.exit_status != 0) {
        result.problems.push_back("ohmlog ended with " + std::to_string(run.exit_status) +
                                  (run.timed_out ? " (timed out)" : "") + ": " + run.err);
    }
    check_rows(meter_case, run.out, requests_ns, result);
    remove_tree(dir);
    return result;
}

CpuLoad::CpuLoad()
{
    for (int i = 0; i < 2; ++i) {
        Launch spin;
        spin.argv = {"/bin/sh", "-c", "while :; do :; done"};
        spin.niceness = logger_niceness();
        busy_.push_back(std::make_unique<BackgroundProcess>(spin));
    }
}

SearchTotals check_cases(const std::function<std::optional<MeterCase>()>& next, int parallel,
                         std::ostream& log, const std::function<bool()>& loaded, bool verbose)
{
    SearchTotals totals;
    std::mutex lock;
    const auto work = [&] {
        for (;;) {
            std::unique_lock<std::mutex> hold(lock);
            const std::optional<MeterCase> meter_case = next();
            const bool beside_load = loaded();
            hold.unlock();
            if (!meter_case) {
                return;
            }
            const CaseResult result = check_case(*meter_case);
            hold.lock();
            const long rows = static_cast<long>(result.statuses.size());
            ++totals.cases;
            totals.rows += rows;
            totals.loaded_rows += beside_load ? rows : 0;
            totals.ok_rows +=
                static_cast<long>(std::count(result.statuses.begin(), result.statuses.end(), '.'));
            totals.wrong_rows += static_cast<long>(result.wrong_rows.size());
            const bool failed = !result.wrong_rows.empty() || !result.problems.empty();
            totals.failed_cases += failed ? 1 : 0;
            if (!failed && !verbose) {
                continue;
            }
            log << describe(*meter_case) << (beside_load ? ", beside a CPU load" : "") << ": "
                << result.statuses << " (" << result.requests << " requests)";
            for (int row : result.wrong_rows) {
                log << "; row " << row << " holds another request's reply";
            }
            for (const auto& problem : result.problems) {
                log << "; " << problem;
            }
            log << std::endl;
        }
    };
    std::vector<std::thread> workers;
    for (int k = 0; k < parallel; ++k) {
        workers.emplace_back(work);
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return totals;
}

SearchTotals check_cases(const std::vector<MeterCase>& cases, std::ostream& log)
{
    std::size_t taken = 0;
    return check_cases(
        [&]() -> std::optional<MeterCase> {
            return taken < cases.size() ? std::optional<MeterCase>(cases[taken++]) : std::nullopt;
        },
        static_cast<int>(cases.size()), log, [] { return false; });
}
