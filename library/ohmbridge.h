/* ohmbridge: the MAS-345 driver functions a host program calls.
 *
 * 32-bit Windows: the standard calling convention, undecorated names. Elsewhere: the
 * platform's C convention. Channels: only the low 8 bits count; channel 0 is the meter's one
 * input. Texts are Windows-1252, owned by the library, valid until the next call. */
#ifndef OHMBRIDGE_H
#define OHMBRIDGE_H

#include <stdint.h>

#if defined(_WIN32)
#define OHMBRIDGE_CALL __stdcall
#define OHMBRIDGE_VISIBLE
#else
#define OHMBRIDGE_CALL
#define OHMBRIDGE_VISIBLE __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define OHMBRIDGE_API extern "C" OHMBRIDGE_VISIBLE
#else
#define OHMBRIDGE_API OHMBRIDGE_VISIBLE
#endif

/* Measuring input, channel 0: one reading of the meter per call (at least 700 ms). */
OHMBRIDGE_API int32_t OHMBRIDGE_CALL ea(int32_t channel);
OHMBRIDGE_API double OHMBRIDGE_CALL ead(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nea(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nead(int32_t channel);
/* Binary input and outputs, which the meter does not have: constants and stored values. */
OHMBRIDGE_API int32_t OHMBRIDGE_CALL eb(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL neb(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nsa(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nsad(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nsb(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL rsa(int32_t channel);
OHMBRIDGE_API double OHMBRIDGE_CALL rsad(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL rsb(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL sa(int32_t channel, int32_t value);
OHMBRIDGE_API double OHMBRIDGE_CALL sad(int32_t channel, double value);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL sb(int32_t channel, int32_t value);
OHMBRIDGE_API const char* OHMBRIDGE_CALL titre(void);
OHMBRIDGE_API const char* OHMBRIDGE_CALL detail(void);

/* The "std" twins: the same arguments and results (stdtitre and stddetail excepted). */
OHMBRIDGE_API int32_t OHMBRIDGE_CALL stdea(int32_t channel);
OHMBRIDGE_API double OHMBRIDGE_CALL stdead(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL stdeb(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnea(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnead(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdneb(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnsa(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnsad(int32_t channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnsb(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL stdrsa(int32_t channel);
OHMBRIDGE_API double OHMBRIDGE_CALL stdrsad(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL stdrsb(int32_t channel);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL stdsa(int32_t channel, int32_t value);
OHMBRIDGE_API double OHMBRIDGE_CALL stdsad(int32_t channel, double value);
OHMBRIDGE_API int32_t OHMBRIDGE_CALL stdsb(int32_t channel, int32_t value);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdtitre(void);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stddetail(void);

/* The channel as a real, rounded half away from zero. */
OHMBRIDGE_API double OHMBRIDGE_CALL eadouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL ebdouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL neadouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nebdouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nsadouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL nsbdouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL rsadouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL rsbdouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL sadouble(double channel, double value);
OHMBRIDGE_API double OHMBRIDGE_CALL sbdouble(double channel, double value);
OHMBRIDGE_API double OHMBRIDGE_CALL stdeadouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL stdebdouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdneadouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnebdouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnsadouble(double channel);
OHMBRIDGE_API const char* OHMBRIDGE_CALL stdnsbdouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL stdrsadouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL stdrsbdouble(double channel);
OHMBRIDGE_API double OHMBRIDGE_CALL stdsadouble(double channel, double value);
OHMBRIDGE_API double OHMBRIDGE_CALL stdsbdouble(double channel, double value);

#endif
