#ifndef PYRELLE_CSMC_H
#define PYRELLE_CSMC_H
/*
 * CSMC: the flat C interface to the System Management Controller (SMC) user client and the
 * SMC value codec. Every function returns plain numbers; nothing here allocates memory that
 * outlives a call or prints anything.
 *
 * Result codes of the SMC functions:
 *   0                  success
 *   -1                 invalid argument, or the user client returned an output block of the
 *                      wrong size
 *   -2                 (read) the SMC reported a data size outside 1...32
 *   -3                 (write) key not on the write allow-list, or an invalid "Ftst" value
 *   -4                 (read with held key info) the device answered with another size or
 *                      type than the caller held
 *   1...255            the SMC's own result byte (the SMC refused the request)
 *   any other value    kernel status of the user-client call, e.g. PYR_KERN_NO_DEVICE;
 *                      a device status that would read as one of the codes above is
 *                      reported as PYR_KERN_IPC_ERROR instead
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One SMC value as it travels between the SMC and the codec. */
typedef struct PYRValue {
    uint32_t size;     /* number of meaningful bytes in `bytes`, 1 to 32 */
    uint32_t type;     /* four-character type packed big-endian, e.g. "ui8 " is 0x75693820 */
    uint8_t bytes[32]; /* raw value in the SMC's own byte order */
} PYRValue;

/* Packs four characters big-endian (first character in the top byte). */
#define PYR_FOURCC(a, b, c, d)                                                    \
    ((uint32_t)(((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) | \
                ((uint32_t)(uint8_t)(c) << 8) | (uint32_t)(uint8_t)(d)))

#define PYR_TYPE_UI8 0x75693820u  /* "ui8 " */
#define PYR_TYPE_UI16 0x75693136u /* "ui16" */
#define PYR_TYPE_UI32 0x75693332u /* "ui32" */
#define PYR_TYPE_FLT 0x666C7420u  /* "flt " */
#define PYR_TYPE_FPE2 0x66706532u /* "fpe2" */
#define PYR_TYPE_SP78 0x73703738u /* "sp78" */

/* Results of the SMC functions. */
#define PYR_SMC_SUCCESS 0
#define PYR_SMC_INVALID (-1)     /* bad argument or output block of the wrong size */
#define PYR_SMC_BAD_SIZE (-2)    /* read: reported data size outside 1...32 */
#define PYR_SMC_NOT_ALLOWED (-3) /* write: key not on the allow-list or invalid "Ftst" value */
#define PYR_SMC_STALE_INFO (-4)  /* read with held info: the key's size or type differs */

/* Results of pyr_encode. */
#define PYR_CODEC_SUCCESS 0
#define PYR_CODEC_UNUSABLE_NUMBER (-1) /* NaN, infinite or negative number, or no value */
#define PYR_CODEC_UNSUPPORTED (-2)     /* unsupported type, size mismatch or number too large */

/*
 * Kernel-style statuses that the shim itself reports when the device cannot be reached.
 * They follow the IOKit return codes of the same names and never collide with -4...-1 or
 * 1...255.
 */
#define PYR_KERN_IPC_ERROR ((int32_t)0xE00002BFu) /* device answered with an unusable status */
#define PYR_KERN_NO_DEVICE ((int32_t)0xE00002C0u) /* no SMC service is configured */
#define PYR_KERN_NOT_OPEN ((int32_t)0xE00002CDu)  /* unknown or closed connection */
#define PYR_KERN_TIMEOUT ((int32_t)0xE00002D6u)   /* the device did not answer in time */
#define PYR_KERN_MESSAGE_TOO_LARGE ((int32_t)0xE00002E1u) /* request or reply over the size cap */
#define PYR_KERN_NOT_RESPONDING ((int32_t)0xE00002EDu)    /* connection dropped */

/*
 * Opens a connection to the SMC service. Returns 0 when there is no SMC service or it
 * cannot be opened; 0 is never a valid connection.
 */
uint32_t pyr_smc_open(void);

/* Closes `connection`; does nothing for 0 or an unknown connection. */
void pyr_smc_close(uint32_t connection);

/*
 * Writes the key at `index` into out[0..3] (first character from the key's top byte) and a
 * NUL into out[4]. -1 when `connection` is 0, `out` is NULL or the output block size is
 * wrong; otherwise 0, an SMC result or a kernel status.
 */
int32_t pyr_smc_key_at_index(uint32_t connection, uint32_t index, char out[5]);

/*
 * Reads `key` (exactly four bytes) into `out`: its size and type, then all 32 returned
 * bytes. -2 when the SMC reports a size outside 1...32 (no bytes are then requested).
 */
int32_t pyr_smc_read(uint32_t connection, const char* key, PYRValue* out);

/*
 * Batched forms for callers that read many keys at once. Each gives, per entry, exactly the
 * result and output of the single call (the same checks and the same exchanges with the SMC),
 * but a device that can overlap exchanges receives them together, so a batch costs a few
 * round trips instead of one or two per key. pyr_smc_read_many sends every key-info request
 * before the byte reads. Both return -1 when an array is NULL (nothing is then done) and 0
 * otherwise.
 *
 * pyr_smc_keys_at: out[i] and results[i] as pyr_smc_key_at_index(connection, first + i).
 * pyr_smc_read_many: out[i] and results[i] as pyr_smc_read(connection, keys[i]).
 */
int32_t pyr_smc_keys_at(uint32_t connection, uint32_t first, uint32_t count, char (*out)[5],
                        int32_t* results);
int32_t pyr_smc_read_many(uint32_t connection, const char* const* keys, uint32_t count,
                          PYRValue* out, int32_t* results);

/*
 * Reads `key` with the key info the caller already holds: info->size (1...32) and info->type,
 * as an earlier pyr_smc_read of the same key reported them. One exchange (the bytes only)
 * instead of two; a key's size and type do not change while the machine runs. `out` receives
 * the held size and type and all 32 returned bytes. -1 for invalid arguments (a held size
 * outside 1...32 included); the SMC's result byte (0x87 when the held size is wrong); -4 when
 * the device answered with another size or type than the held ones (read the key again with
 * pyr_smc_read to learn them). pyr_smc_read itself is unchanged.
 *
 * pyr_smc_read_many_known: out[i] and results[i] as pyr_smc_read_known(connection, keys[i],
 * &infos[i]), batched as pyr_smc_read_many is. -1 when an array is NULL, else 0.
 */
int32_t pyr_smc_read_known(uint32_t connection, const char* key, const PYRValue* info,
                           PYRValue* out);
int32_t pyr_smc_read_many_known(uint32_t connection, const char* const* keys, const PYRValue* infos,
                                uint32_t count, PYRValue* out, int32_t* results);

/*
 * Writes `value` to `key`. Only fan mode keys (F<digit>Md, F<digit>md), fan target keys
 * (F<digit>Tg), "FS! " and "Ftst" (a "ui8 " byte 0 or 1 only) are writable; anything else
 * gives -3 without reaching the SMC.
 */
int32_t pyr_smc_write(uint32_t connection, const char* key, const PYRValue* value);

/*
 * Decodes `value` to a number: fixed point "fpXY" (X+Y = 16) and "spXY" (X+Y = 15) with
 * lower-case hexadecimal digits, size 2; "ui8 " size 1; "ui16" size 2; "ui32" size 4;
 * "flt " size 4 in host byte order. NaN for NULL or any other type/size.
 */
double pyr_decode(const PYRValue* value);

/*
 * Encodes `number` into value->bytes according to value->size and value->type ("ui8 ",
 * "ui16", "flt ", "fpe2"). -1 for NULL or a NaN, infinite or negative number; -2 for another
 * type, a size mismatch or a number above the type's limit (bytes then untouched).
 */
int32_t pyr_encode(PYRValue* value, double number);

#ifdef __cplusplus
}
#endif

#if defined(__has_include)
#if __has_include("CSMCProbes.h")
#include "CSMCProbes.h"
#endif
#endif

#endif /* PYRELLE_CSMC_H */
