// The 54 exports: each hands its arguments to the catalogue of the library set.
#include "ohmbridge.h"

#include "library_state.h"

namespace {

driver::Catalogue& catalogue()
{
    return library_state.catalogue;
}

} // namespace

int32_t OHMBRIDGE_CALL ea(int32_t channel)
{
    return driver::ea(catalogue(), channel);
}

double OHMBRIDGE_CALL ead(int32_t channel)
{
    return driver::ead(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nea(int32_t channel)
{
    return driver::nea(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nead(int32_t channel)
{
    return driver::nead(catalogue(), channel);
}

int32_t OHMBRIDGE_CALL eb(int32_t channel)
{
    return driver::eb(catalogue(), channel);
}

const char* OHMBRIDGE_CALL neb(int32_t channel)
{
    return driver::neb(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nsa(int32_t channel)
{
    return driver::nsa(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nsad(int32_t channel)
{
    return driver::nsad(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nsb(int32_t channel)
{
    return driver::nsb(catalogue(), channel);
}

int32_t OHMBRIDGE_CALL rsa(int32_t channel)
{
    return driver::rsa(catalogue(), channel);
}

double OHMBRIDGE_CALL rsad(int32_t channel)
{
    return driver::rsad(catalogue(), channel);
}

int32_t OHMBRIDGE_CALL rsb(int32_t channel)
{
    return driver::rsb(catalogue(), channel);
}

int32_t OHMBRIDGE_CALL sa(int32_t channel, int32_t value)
{
    return driver::sa(catalogue(), channel, value);
}

double OHMBRIDGE_CALL sad(int32_t channel, double value)
{
    return driver::sad(catalogue(), channel, value);
}

int32_t OHMBRIDGE_CALL sb(int32_t channel, int32_t value)
{
    return driver::sb(catalogue(), channel, value);
}

const char* OHMBRIDGE_CALL titre(void)
{
    return driver::titre(catalogue());
}

const char* OHMBRIDGE_CALL detail(void)
{
    return driver::detail(catalogue());
}

int32_t OHMBRIDGE_CALL stdea(int32_t channel)
{
    return ea(channel);
}

double OHMBRIDGE_CALL stdead(int32_t channel)
{
    return ead(channel);
}

int32_t OHMBRIDGE_CALL stdeb(int32_t channel)
{
    return eb(channel);
}

const char* OHMBRIDGE_CALL stdnea(int32_t channel)
{
    return nea(channel);
}

const char* OHMBRIDGE_CALL stdnead(int32_t channel)
{
    return nead(channel);
}

const char* OHMBRIDGE_CALL stdneb(int32_t channel)
{
    return neb(channel);
}

const char* OHMBRIDGE_CALL stdnsa(int32_t channel)
{
    return nsa(channel);
}

const char* OHMBRIDGE_CALL stdnsad(int32_t channel)
{
    return nsad(channel);
}

const char* OHMBRIDGE_CALL stdnsb(int32_t channel)
{
    return nsb(channel);
}

int32_t OHMBRIDGE_CALL stdrsa(int32_t channel)
{
    return rsa(channel);
}

double OHMBRIDGE_CALL stdrsad(int32_t channel)
{
    return rsad(channel);
}

int32_t OHMBRIDGE_CALL stdrsb(int32_t channel)
{
    return rsb(channel);
}

int32_t OHMBRIDGE_CALL stdsa(int32_t channel, int32_t value)
{
    return sa(channel, value);
}

double OHMBRIDGE_CALL stdsad(int32_t channel, double value)
{
    return sad(channel, value);
}

int32_t OHMBRIDGE_CALL stdsb(int32_t channel, int32_t value)
{
    return sb(channel, value);
}

const char* OHMBRIDGE_CALL stdtitre(void)
{
    return driver::stdtitre(catalogue());
}

const char* OHMBRIDGE_CALL stddetail(void)
{
    return driver::stddetail(catalogue());
}

double OHMBRIDGE_CALL eadouble(double channel)
{
    return driver::eadouble(catalogue(), channel);
}

double OHMBRIDGE_CALL ebdouble(double channel)
{
    return driver::ebdouble(catalogue(), channel);
}

const char* OHMBRIDGE_CALL neadouble(double channel)
{
    return driver::neadouble(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nebdouble(double channel)
{
    return driver::nebdouble(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nsadouble(double channel)
{
    return driver::nsadouble(catalogue(), channel);
}

const char* OHMBRIDGE_CALL nsbdouble(double channel)
{
    return driver::nsbdouble(catalogue(), channel);
}

double OHMBRIDGE_CALL rsadouble(double channel)
{
    return driver::rsadouble(catalogue(), channel);
}

double OHMBRIDGE_CALL rsbdouble(double channel)
{
    return driver::rsbdouble(catalogue(), channel);
}

double OHMBRIDGE_CALL sadouble(double channel, double value)
{
    return driver::sadouble(catalogue(), channel, value);
}

double OHMBRIDGE_CALL sbdouble(double channel, double value)
{
    return driver::sbdouble(catalogue(), channel, value);
}

double OHMBRIDGE_CALL stdeadouble(double channel)
{
    return eadouble(channel);
}

double OHMBRIDGE_CALL stdebdouble(double channel)
{
    return ebdouble(channel);
}

const char* OHMBRIDGE_CALL stdneadouble(double channel)
{
    return neadouble(channel);
}

const char* OHMBRIDGE_CALL stdnebdouble(double channel)
{
    return nebdouble(channel);
}

const char* OHMBRIDGE_CALL stdnsadouble(double channel)
{
    return nsadouble(channel);
}

const char* OHMBRIDGE_CALL stdnsbdouble(double channel)
{
    return nsbdouble(channel);
}

double OHMBRIDGE_CALL stdrsadouble(double channel)
{
    return rsadouble(channel);
}

double OHMBRIDGE_CALL stdrsbdouble(double channel)
{
    return rsbdouble(channel);
}

double OHMBRIDGE_CALL stdsadouble(double channel, double value)
{
    return sadouble(channel, value);
}

double OHMBRIDGE_CALL stdsbdouble(double channel, double value)
{
    return sbdouble(channel, value);
}
