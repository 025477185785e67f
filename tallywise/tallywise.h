/*
 * Tallywise C interface: the measurement library for programs written in C and for other
 * languages' foreign-function interfaces (C# P/Invoke, Rust, Python ctypes, Lua, ...).
 * C11; it also compiles as C++. Link with libtallywise (pkg-config "tallywise", or the
 * CMake target Tallywise::tallywise).
 *
 * Thread-safety: every function may be called from any thread, unless its comment says
 * otherwise; calls return at once and the work runs on the library's own threads.
 *
 * Errors: every function returns a tw_status (tw_version and tw_status_string excepted).
 * A NULL where a pointer is required gives TW_ERR_NULL_ARGUMENT, a string that is not
 * valid UTF-8 gives TW_ERR_INVALID_UTF8; in both cases nothing reaches the library. A name
 * or value the library's checks refuse gives TW_ERR_INVALID_NAME or TW_ERR_INVALID_VALUE
 * and the library reports it as the C++ interface does (an "_err" event). Nothing
 * crashes on such input and no C++ exception ever leaves these functions: a failure
 * inside the library (out of memory) gives TW_ERR_INTERNAL.
 *
 * Strings: every string argument is NUL-terminated UTF-8 and only borrowed for the call;
 * strings handed to callbacks are valid only while the callback runs.
 *
 * Handles (tw_options, tw_params) belong to the caller from *_new until *_free. A handle
 * is not synchronised: use one from one thread at a time. Freeing a handle twice, or
 * passing a handle of the other kind, gives TW_ERR_INVALID_HANDLE without touching it
 * (unless a new handle was given the same address in between); using a handle after
 * freeing it is otherwise undefined.
 */
#ifndef TALLYWISE_TALLYWISE_H
#define TALLYWISE_TALLYWISE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TW_API __attribute__((visibility("default")))
#else
#define TW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TW_VERSION_MAJOR 8
#define TW_VERSION_MINOR 9
#define TW_VERSION_PATCH 1
#define TW_VERSION_STRING "8.9.1"

typedef enum tw_status {
  TW_OK = 0,
  TW_ERR_NULL_ARGUMENT = 1,  /* a required pointer was NULL */
  TW_ERR_INVALID_UTF8 = 2,   /* a string was not valid UTF-8 */
  TW_ERR_INVALID_NAME = 3,   /* an event or user property name the library refuses */
  TW_ERR_INVALID_VALUE = 4,  /* a value the library refuses (too long, out of range) */
  TW_ERR_INVALID_HANDLE = 5, /* a handle or token that is not live (freed twice, removed twice)
                                or of the other kind */
  TW_ERR_NOT_CONFIGURED = 6, /* tw_configure has not succeeded yet */
  TW_ERR_REFUSED = 7,        /* the call does not fit the library's state (configured or started twice) */
  TW_ERR_TIMEOUT = 8,        /* a wait ended before what it waited for */
  TW_ERR_INTERNAL = 9        /* a failure inside the library, e.g. out of memory */
} tw_status;

typedef enum tw_consent {
  TW_CONSENT_UNCHANGED = 0,
  TW_CONSENT_GRANTED = 1,
  TW_CONSENT_DENIED = 2
} tw_consent;

typedef struct tw_options tw_options;
typedef struct tw_params tw_params;
typedef uint64_t tw_listener_token;

/* The library's version, "8.9.1" (a static string; never NULL). */
TW_API const char* tw_version(void);
/* A short English text for a tw_status value (a static string; "unknown status" for any
 * other int). An int, so that any value a caller passes is defined. */
TW_API const char* tw_status_string(int status);

/* ---- Options: what the app is configured with ---------------------------------------- */

/* A new options handle for `app_id` (the measurement app ID, 1 to 256 bytes); collection
 * enabled and not deactivated, no second app ID, no safelist. *out_options is set only on
 * TW_OK; free it with tw_options_free. Empty or too long: TW_ERR_INVALID_VALUE. */
TW_API tw_status tw_options_new(const char* app_id, tw_options** out_options);
TW_API tw_status tw_options_set_quado_app_id(tw_options* options, const char* app_id);
/* `enabled`: 0 off, anything else on. */
TW_API tw_status tw_options_set_collection_enabled(tw_options* options, int enabled);
TW_API tw_status tw_options_set_collection_deactivated(tw_options* options, int deactivated);
/* Event names allowed while consent restricts events (each a valid event name, else
 * TW_ERR_INVALID_NAME and the list is unchanged). Copied; `names` may be NULL when `count`
 * is 0. Without one, tw_start uses the bundle's service-info list's, as the C++ start does. */
TW_API tw_status tw_options_set_safelisted_events(tw_options* options, const char* const* names, size_t count);
/* Frees the handle. A handle already freed: TW_ERR_INVALID_HANDLE, nothing touched. */
TW_API tw_status tw_options_free(tw_options* options);

/* ---- Start-up -------------------------------------------------------------------------- */

/* Configures the process's default app with a copy of `options` (the handle stays the
 * caller's). Once per process: again gives TW_ERR_REFUSED. */
TW_API tw_status tw_configure(const tw_options* options);
/* Starts the library with the configured options. Events logged before start are held
 * and stored afterwards. Before tw_configure: TW_ERR_NOT_CONFIGURED; a second call:
 * TW_ERR_REFUSED. */
TW_API tw_status tw_start(void);

/* ---- Parameters: a small builder --------------------------------------------------------- */

/* A new, empty parameter set; *out_params is set only on TW_OK. Free with tw_params_free. */
TW_API tw_status tw_params_new(tw_params** out_params);
/* Set `key` to a string, an integer or a double; a key set before is replaced. */
TW_API tw_status tw_params_add_string(tw_params* params, const char* key, const char* value);
TW_API tw_status tw_params_add_int(tw_params* params, const char* key, int64_t value);
TW_API tw_status tw_params_add_double(tw_params* params, const char* key, double value);
/* Appends a copy of `item` (its parameters as they are now) to the item array under `key`
 * ("items" for purchases), making the array on first use. `key` holding a string or a
 * number: TW_ERR_INVALID_VALUE. */
TW_API tw_status tw_params_add_item(tw_params* params, const char* key, const tw_params* item);
/* Frees the handle. A handle already freed: TW_ERR_INVALID_HANDLE, nothing touched. */
TW_API tw_status tw_params_free(tw_params* params);

/* ---- Events and user properties ---------------------------------------------------------- */

/* Logs an event (`params` may be NULL; it is copied, the handle stays the caller's). A
 * name the library refuses: TW_ERR_INVALID_NAME and an "_err" event. Parameters the
 * library refuses are dropped from the event and reported with an "_err" event; the
 * call still gives TW_OK. Before tw_configure: TW_ERR_NOT_CONFIGURED. */
TW_API tw_status tw_log_event(const char* name, const tw_params* params);
/* Sets a user property. A refused name: TW_ERR_INVALID_NAME; a value longer than the
 * library allows: TW_ERR_INVALID_VALUE; both with an "_err" event. Before tw_configure:
 * TW_ERR_NOT_CONFIGURED. */
TW_API tw_status tw_set_user_property(const char* name, const char* value);
/* Removes a user property; a refused name gives TW_ERR_INVALID_NAME. */
TW_API tw_status tw_clear_user_property(const char* name);
/* Sets the user ID; NULL clears it. */
TW_API tw_status tw_set_user_id(const char* user_id);
/* Parameters added to every later event (copied); NULL clears them. */
TW_API tw_status tw_set_default_event_parameters(const tw_params* params);

/* ---- Consent, collection, reset ------------------------------------------------------- */

/* Ad storage and analytics storage consent, each a tw_consent value (ints, so that any
 * value a caller passes is defined); TW_CONSENT_UNCHANGED leaves one as it is. Another
 * value: TW_ERR_INVALID_VALUE. */
TW_API tw_status tw_set_consent(int ad_storage, int analytics_storage);
/* 0 stops collection (kept across launches), anything else resumes it. */
TW_API tw_status tw_set_analytics_collection_enabled(int enabled);
/* Deletes what the library stored and starts a new app instance. */
TW_API tw_status tw_reset_analytics_data(void);

/* ---- App instance ID and listeners ----------------------------------------------------- */

typedef void (*tw_app_instance_id_callback)(const char* app_instance_id, void* user_data);
/* Calls `callback` once, on the calling thread before returning, with the app instance ID,
 * or with NULL when there is none yet or analytics storage is denied. */
TW_API tw_status tw_get_app_instance_id(tw_app_instance_id_callback callback, void* user_data);

/* Told of each event the library stored: its origin ("app" for the app's own events), name
 * and parameters as text (for logging; the format may change). It runs on the library's
 * queue: keep it short, and do not call tw_wait_until_pending_calls_stored from it. */
typedef void (*tw_log_event_listener)(const char* origin, const char* name, const char* parameters,
                                      void* user_data);
/* Adds a listener; `user_data` is passed back as it is and must stay valid until the
 * listener is removed. *out_token (never 0) is set only on TW_OK. */
TW_API tw_status tw_add_log_event_listener(tw_log_event_listener listener, void* user_data,
                                           tw_listener_token* out_token);
/* Once this returns the listener is never called again (a call running on another thread
 * is waited for; removing from inside the listener is allowed). A token not live (0,
 * removed before): TW_ERR_INVALID_HANDLE. */
TW_API tw_status tw_remove_log_event_listener(tw_listener_token token);

/* ---- Storing and links --------------------------------------------------------------------- */

/* Waits, at most `timeout_ms`, until every call that returned before this one has reached
 * the database. Not stored in time (or called from a listener): TW_ERR_TIMEOUT; before
 * tw_start: TW_ERR_REFUSED. Blocks the calling thread. */
TW_API tw_status tw_wait_until_pending_calls_stored(uint32_t timeout_ms);
/* Hands over a URL that opened the app (campaign parameters become a "_cmp" event). An
 * empty URL: TW_ERR_INVALID_VALUE. */
TW_API tw_status tw_handle_open_url(const char* url);

#ifdef __cplusplus
}
#endif

#endif /* TALLYWISE_TALLYWISE_H */
