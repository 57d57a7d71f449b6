/*
 * zel_api.h - host interface of the fibre-optic test unit library.
 *
 * (The full list of exports and their documentation is being completed.)
 */
#ifndef ZEL_API_H
#define ZEL_API_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZEL_API_BUILDING)
#    define ZEL_EXPORT __declspec(dllexport)
#  else
#    define ZEL_EXPORT __declspec(dllimport)
#  endif
#else
#  define ZEL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Why the last call on an instance failed (see zel_LastError / APILastError). */
typedef enum zel_error {
    ZEL_OK = 0,                   /**< the last call succeeded */
    ZEL_ERR_NOT_CONNECTED = 1,    /**< no link is open to the unit */
    ZEL_ERR_BAD_ADDRESS = 2,      /**< the IP address is not an IPv4 dotted quad */
    ZEL_ERR_CONNECTION_REFUSED = 3, /**< nothing accepts connections at that address */
    ZEL_ERR_CONNECT_FAILED = 4,   /**< the connection could not be made for another reason */
    ZEL_ERR_TIMEOUT = 5,          /**< the unit did not answer within the link's time-out */
    ZEL_ERR_PEER_CLOSED = 6,      /**< the unit closed the link */
    ZEL_ERR_SHORT_REPLY = 7,      /**< the reply ended before the bytes the request needs */
    ZEL_ERR_SEND_FAILED = 8,      /**< the request frame could not be sent whole */
    ZEL_ERR_SOCKET = 9,           /**< the operating system refused a socket operation */
    ZEL_ERR_NO_SUCH_CHANNEL = 10, /**< the channel index has no entry in the board's channel layout */
    ZEL_ERR_BAD_ARGUMENT = 11,    /**< a null pointer or a value outside the accepted range */
    ZEL_ERR_BAD_UNIT_INDEX = 12,  /**< the unit index names no entry of the instance table (0..31) */
    ZEL_ERR_NOT_FOUND = 13,       /**< the wavelength (or VOA code) asked for does not exist */
    ZEL_ERR_TABLE_FULL = 14,      /**< all six wavelength slots are in use */
    ZEL_ERR_INTERNAL = 15         /**< an unexpected internal failure (out of memory, ...) */
} zel_error;

#ifdef __cplusplus
}
#endif

#endif /* ZEL_API_H */
