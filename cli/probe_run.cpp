#include "probe_run.h"

#include "probe_platform.h"
#include "probe_text.h"
#include "rounding.h"
#include "serial_link.h"

namespace {

using driver::Catalogue;

constexpr std::int8_t DEFAULT_PORT = 1;
// Not the meter's channel 0: without a second parameter nothing is measured.
constexpr double DEFAULT_CHANNEL = 11.0;
constexpr double DEFAULT_OUTPUT_VALUE = 22.0;

std::int8_t signed_8_bits(std::int32_t value)
{
    const std::int32_t low = value & 0xFF;
    return static_cast<std::int8_t>(low >= 128 ? low - 256 : low);
}

using Answer = std::string (*)(Catalogue&, const DispatchArguments&);

std::string answer_ea(Catalogue& c, const DispatchArguments& a)
{
    return format_integer(driver::ea(c, a.channel));
}
std::string answer_nea(Catalogue& c, const DispatchArguments& a)
{
    return driver::nea(c, a.channel);
}
std::string answer_ead(Catalogue& c, const DispatchArguments& a)
{
    return format_real(driver::ead(c, a.channel));
}
std::string answer_nead(Catalogue& c, const DispatchArguments& a)
{
    return driver::nead(c, a.channel);
}
std::string answer_sa(Catalogue& c, const DispatchArguments& a)
{
    return format_integer(driver::sa(c, a.channel, a.value));
}
std::string answer_nsa(Catalogue& c, const DispatchArguments& a)
{
    return driver::nsa(c, a.channel);
}
std::string answer_rsa(Catalogue& c, const DispatchArguments& a)
{
    return format_integer(driver::rsa(c, a.channel));
}
std::string answer_sad(Catalogue& c, const DispatchArguments& a)
{
    return format_real(driver::sad(c, a.channel, a.output_value));
}
std::string answer_nsad(Catalogue& c, const DispatchArguments& a)
{
    return driver::nsad(c, a.channel);
}
std::string answer_rsad(Catalogue& c, const DispatchArguments& a)
{
    return format_real(driver::rsad(c, a.channel));
}
std::string answer_eb(Catalogue& c, const DispatchArguments& a)
{
    return format_integer(driver::eb(c, a.channel));
}
std::string answer_neb(Catalogue& c, const DispatchArguments& a)
{
    return driver::neb(c, a.channel);
}
std::string answer_sb(Catalogue& c, const DispatchArguments& a)
{
    return format_integer(driver::sb(c, a.channel, a.value));
}
std::string answer_nsb(Catalogue& c, const DispatchArguments& a)
{
    return driver::nsb(c, a.channel);
}
std::string answer_rsb(Catalogue& c, const DispatchArguments& a)
{
    return format_integer(driver::rsb(c, a.channel));
}
std::string answer_titre(Catalogue& c, const DispatchArguments&)
{
    return driver::titre(c);
}
std::string answer_detail(Catalogue& c, const DispatchArguments&)
{
    return driver::detail(c);
}
std::string answer_stdtitre(Catalogue& c, const DispatchArguments&)
{
    return driver::stdtitre(c);
}
std::string answer_stddetail(Catalogue& c, const DispatchArguments&)
{
    return driver::stddetail(c);
}

struct DispatchEntry {
    const char* name;
    Answer answer;
};

// The "std" twins answer as their base function, except stdtitre and stddetail.
const DispatchEntry DISPATCH_TABLE[] = {
    {"ea", answer_ea},
    {"nea", answer_nea},
    {"ead", answer_ead},
    {"nead", answer_nead},
    {"sa", answer_sa},
    {"nsa", answer_nsa},
    {"rsa", answer_rsa},
    {"sad", answer_sad},
    {"nsad", answer_nsad},
    {"rsad", answer_rsad},
    {"eb", answer_eb},
    {"neb", answer_neb},
    {"sb", answer_sb},
    {"nsb", answer_nsb},
    {"rsb", answer_rsb},
    {"titre", answer_titre},
    {"detail", answer_detail},
    {"stdea", answer_ea},
    {"stdnea", answer_nea},
    {"stdead", answer_ead},
    {"stdnead", answer_nead},
    {"stdsa", answer_sa},
    {"stdnsa", answer_nsa},
    {"stdrsa", answer_rsa},
    {"stdsad", answer_sad},
    {"stdnsad", answer_nsad},
    {"stdrsad", answer_rsad},
    {"stdeb", answer_eb},
    {"stdneb", answer_neb},
    {"stdsb", answer_sb},
    {"stdnsb", answer_nsb},
    {"stdrsb", answer_rsb},
    {"stdtitre", answer_stdtitre},
    {"stddetail", answer_stddetail},
};

// Literals are split where a hexadecimal escape would swallow the letter after it.
// clang-format off
const char* const HELP_LINES[] = {
    "Pilote ex\xE9" "cutable pour multim\xE8" "tre MAS 345",
    "    (ohmprobe " OHM_VERSION ", pilote en ligne de commande pour la liaison RS-232)",
    "     ",
    "Le premier param\xE8" "tre est le nom de la fonction : ead, nead, detail, titre...",
    "Le deuxi\xE8" "me param\xE8" "tre (\xE9" "ventuel) est un nombre de 2 chiffres : ",
    "     - 1er chiffre = voie de communication s\xE9" "rie : ",
    "         1 pour Com1:, 2 pour Com2:, etc",
    "     - 2e chiffre : mettre 0, car il n'y a qu'une seule voie de mesure",
    "par exemple, pour la mesure en com1:, mettre en param\xE8" "tre : ead 10",
};
// clang-format on

} // namespace

PortAndChannel decode_port_and_channel(const std::string& parameter)
{
    const double value = parse_real(parameter);
    const std::int8_t port = signed_8_bits(floor_integer(value / 10.0));
    return PortAndChannel{port == 0 ? DEFAULT_PORT : port, value - 10.0 * port};
}

std::optional<std::string> dispatch(const std::string& name, Catalogue& catalogue,
                                    const DispatchArguments& arguments)
{
    for (const DispatchEntry& entry : DISPATCH_TABLE) {
        if (name == entry.name) {
            return entry.answer(catalogue, arguments);
        }
    }
    return std::nullopt;
}

void print_help()
{
    for (const char* line : HELP_LINES) {
        print_line(line);
    }
}

void run_probe(const std::vector<std::string>& parameters)
{
    init_port_table();
    Catalogue catalogue{driver::BehaviourSet::command_line};

    PortAndChannel choice{DEFAULT_PORT, DEFAULT_CHANNEL};
    double output_value = DEFAULT_OUTPUT_VALUE;
    const std::string function_name = parameters.empty() ? std::string() : parameters[0];
    if (parameters.empty() || text_contains(function_name, "?")) {
        print_help();
    }
    std::string device;
    if (parameters.size() >= 2 && parameter_names_device(parameters[1])) {
        device = device_for_port_name(parameters[1]);
        choice.channel_value = 0.0;
    } else {
        if (parameters.size() >= 2) {
            choice = decode_port_and_channel(parameters[1]);
        }
        device = device_name_for_port(choice.port_number);
    }
    if (parameters.size() >= 3) {
        output_value = parse_real(parameters[2]);
    }

    // The results are not looked at: a port that does not open leaves the functions their
    // neutral answers.
    open_port(METER_PORT, device.c_str(), METER_SETTINGS);
    set_line_state(METER_PORT, LINE_DTR, 1);
    set_line_state(METER_PORT, LINE_RTS, 0);

    const DispatchArguments arguments{nearest_integer(choice.channel_value),
                                      nearest_integer(output_value), output_value};
    if (const auto answer = dispatch(lower_latin1(function_name), catalogue, arguments)) {
        print_line(*answer);
    }
    close_all_ports();
}
