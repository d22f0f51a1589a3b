#include "catalogue.h"

#include "meter_reading.h"
#include "rounding.h"

namespace driver {

namespace {

std::uint8_t channel_of(std::int32_t channel)
{
    return static_cast<std::uint8_t>(channel & 0xFF);
}

bool is_library(const Catalogue& catalogue)
{
    return catalogue.set == BehaviourSet::library;
}

const char* hand_back(Catalogue& catalogue, std::string text)
{
    catalogue.returned_text = std::move(text);
    return catalogue.returned_text.c_str();
}

// Ten output states exist; a channel beyond them names none.
bool has_output_state(std::int32_t channel)
{
    return channel_of(channel) < OUTPUT_STATE_COUNT;
}

} // namespace

std::int16_t ea(const Catalogue& catalogue, std::int32_t channel)
{
    // Saturated: a reading of 40 must not come back as a negative thousandfold.
    return saturate_16(nearest_integer(1000.0 * ead(catalogue, channel)));
}

double ead(const Catalogue&, std::int32_t channel)
{
    return meter::ead(channel);
}

std::int16_t eb(const Catalogue& catalogue, std::int32_t channel)
{
    if (!is_library(catalogue)) {
        return ERROR_VALUE;
    }
    return channel_of(channel) == 0 ? 1 : 0;
}

const char* nea(Catalogue& catalogue, std::int32_t channel)
{
    if (channel_of(channel) != 0) {
        return hand_back(catalogue, std::string());
    }
    return hand_back(catalogue, meter::nead(0, catalogue.stored_label) + "*1000");
}

const char* nead(Catalogue& catalogue, std::int32_t channel)
{
    return hand_back(catalogue, meter::nead(channel, catalogue.stored_label));
}

const char* neb(Catalogue& catalogue, std::int32_t)
{
    return hand_back(catalogue, std::string());
}

const char* nsa(Catalogue& catalogue, std::int32_t)
{
    return hand_back(catalogue, std::string());
}

const char* nsad(Catalogue& catalogue, std::int32_t)
{
    return hand_back(catalogue, std::string());
}

const char* nsb(Catalogue& catalogue, std::int32_t)
{
    return hand_back(catalogue, std::string());
}

std::int16_t rsa(const Catalogue& catalogue, std::int32_t)
{
    return catalogue.analog_output;
}

double rsad(const Catalogue& catalogue, std::int32_t)
{
    return catalogue.analog_output_real;
}

std::int16_t rsb(const Catalogue& catalogue, std::int32_t channel)
{
    return has_output_state(channel) ? catalogue.output_states[channel_of(channel)]
                                     : std::int16_t{0};
}

std::int16_t sa(Catalogue& catalogue, std::int32_t, std::int32_t value)
{
    if (!is_library(catalogue)) {
        return ERROR_VALUE;
    }
    catalogue.analog_output = static_cast<std::int16_t>(value & 0xFF);
    return catalogue.analog_output;
}

double sad(Catalogue& catalogue, std::int32_t, double value)
{
    if (!is_library(catalogue)) {
        return ERROR_VALUE;
    }
    catalogue.analog_output_real = value;
    return value;
}

std::int16_t sb(Catalogue& catalogue, std::int32_t channel, std::int32_t value)
{
    if (!is_library(catalogue) || !has_output_state(channel)) {
        return ERROR_VALUE;
    }
    catalogue.output_states[channel_of(channel)] = static_cast<std::int16_t>(value & 0xFF);
    return 0;
}

const char* titre(Catalogue& catalogue)
{
    return hand_back(catalogue, is_library(catalogue) ? "multim\xE8tre MAS345" : "MAS345");
}

const char* detail(Catalogue& catalogue)
{
    return hand_back(catalogue,
                     is_library(catalogue) ? "Pilote pour multim\xE8tre MASTECH MAS-345" : "");
}

const char* stdtitre(Catalogue& catalogue)
{
    return hand_back(catalogue, "titre dll");
}

const char* stddetail(Catalogue& catalogue)
{
    return hand_back(catalogue, "d\xE9tail de la dll fictive");
}

double eadouble(const Catalogue& catalogue, double channel)
{
    return ead(catalogue, nearest_integer(channel));
}

double ebdouble(const Catalogue& catalogue, double channel)
{
    return eb(catalogue, nearest_integer(channel));
}

const char* neadouble(Catalogue& catalogue, double channel)
{
    return nead(catalogue, nearest_integer(channel));
}

const char* nebdouble(Catalogue& catalogue, double channel)
{
    return neb(catalogue, nearest_integer(channel));
}

const char* nsadouble(Catalogue& catalogue, double channel)
{
    return nsad(catalogue, nearest_integer(channel));
}

const char* nsbdouble(Catalogue& catalogue, double channel)
{
    return nsb(catalogue, nearest_integer(channel));
}

double rsadouble(const Catalogue& catalogue, double channel)
{
    return rsad(catalogue, nearest_integer(channel));
}

double rsbdouble(const Catalogue& catalogue, double channel)
{
    return rsb(catalogue, nearest_integer(channel));
}

double sadouble(Catalogue& catalogue, double channel, double value)
{
    return sad(catalogue, nearest_integer(channel), value);
}

double sbdouble(Catalogue& catalogue, double channel, double value)
{
    return sb(catalogue, nearest_integer(channel), nearest_integer(value));
}

} // namespace driver
