// The driver function catalogue: the 17 base functions, stdtitre and stddetail, and the
// library's variants that take their channel as a real. The other "std" twins answer exactly
// as their base function and are formed by the front ends.
//
// Only the low 8 bits of a channel count. Texts belong to the catalogue: a returned text stays
// valid until the next call of a catalogue function.
#pragma once

#include <cstdint>
#include <string>

namespace driver {

// The command-line driver answers the functions this meter cannot serve with ERROR_VALUE;
// the library stores output values and reads them back.
enum class BehaviourSet { command_line, library };

constexpr std::int16_t ERROR_VALUE = -777;
constexpr int OUTPUT_STATE_COUNT = 10;

struct Catalogue {
    BehaviourSet set;
    std::int16_t analog_output = 0;
    double analog_output_real = 0.0;
    std::int16_t output_states[OUTPUT_STATE_COUNT] = {};
    std::string stored_label;
    std::string returned_text;
};

std::int16_t ea(const Catalogue& catalogue, std::int32_t channel);
double ead(const Catalogue& catalogue, std::int32_t channel);
std::int16_t eb(const Catalogue& catalogue, std::int32_t channel);
const char* nea(Catalogue& catalogue, std::int32_t channel);
const char* nead(Catalogue& catalogue, std::int32_t channel);
const char* neb(Catalogue& catalogue, std::int32_t channel);
const char* nsa(Catalogue& catalogue, std::int32_t channel);
const char* nsad(Catalogue& catalogue, std::int32_t channel);
const char* nsb(Catalogue& catalogue, std::int32_t channel);
std::int16_t rsa(const Catalogue& catalogue, std::int32_t channel);
double rsad(const Catalogue& catalogue, std::int32_t channel);
std::int16_t rsb(const Catalogue& catalogue, std::int32_t channel);
std::int16_t sa(Catalogue& catalogue, std::int32_t channel, std::int32_t value);
double sad(Catalogue& catalogue, std::int32_t channel, double value);
std::int16_t sb(Catalogue& catalogue, std::int32_t channel, std::int32_t value);
const char* titre(Catalogue& catalogue);
const char* detail(Catalogue& catalogue);
const char* stdtitre(Catalogue& catalogue);
const char* stddetail(Catalogue& catalogue);

double eadouble(const Catalogue& catalogue, double channel);
double ebdouble(const Catalogue& catalogue, double channel);
const char* neadouble(Catalogue& catalogue, double channel);
const char* nebdouble(Catalogue& catalogue, double channel);
const char* nsadouble(Catalogue& catalogue, double channel);
const char* nsbdouble(Catalogue& catalogue, double channel);
double rsadouble(const Catalogue& catalogue, double channel);
double rsbdouble(const Catalogue& catalogue, double channel);
double sadouble(Catalogue& catalogue, double channel, double value);
double sbdouble(Catalogue& catalogue, double channel, double value);

} // namespace driver
