/* Every function of the C interface, compiled as C: bad input refused with the documented
 * codes, then a session against the local measurement service whose uploads
 * c_interface_uploads.sh checks. Exits 1 when a code differs from the expected one. */
#define _POSIX_C_SOURCE 200809L  /* nanosleep */
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <tallywise/tallywise.h>

static int failures = 0;

static void expect(tw_status got, tw_status want, const char* what) {
  if (got != want) {
    fprintf(stderr, "FAIL %s: got %d (%s), want %d (%s)\n", what, (int)got, tw_status_string(got), (int)want,
            tw_status_string(want));
    ++failures;
  }
}
#define EXPECT(call, want) expect((call), (want), #call)

static atomic_int purchasesSeen;
static atomic_int listenerFaults;
static atomic_int eventsAfterRemoval;
static atomic_int listenerRemoved;

static void onEvent(const char* origin, const char* name, const char* parameters, void* user_data) {
  if (user_data != &purchasesSeen) atomic_fetch_add(&listenerFaults, 1);
  if (atomic_load(&listenerRemoved)) atomic_fetch_add(&eventsAfterRemoval, 1);
  printf("listener: %s %s %s\n", origin, name, parameters);
  if (strcmp(name, "purchase") == 0) atomic_fetch_add(&purchasesSeen, 1);
}

static void copyID(const char* id, void* user_data) {
  char* out = user_data;
  out[0] = '\0';
  if (id) snprintf(out, 64, "%s", id);
}

static void sleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static void badInput(void) {
  tw_options* options = NULL;
  tw_params* params = NULL;
  tw_listener_token token = 0;
  char longValue[300];
  memset(longValue, 'a', sizeof longValue - 1);
  longValue[sizeof longValue - 1] = '\0';

  EXPECT(tw_options_new(NULL, &options), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_options_new("1:1:ios:1", NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_options_new("", &options), TW_ERR_INVALID_VALUE);
  EXPECT(tw_options_new(longValue, &options), TW_ERR_INVALID_VALUE);
  EXPECT(tw_options_new("1:1:ios:\xff", &options), TW_ERR_INVALID_UTF8);
  EXPECT(tw_configure(NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_options_set_collection_enabled(NULL, 1), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_options_new("1:1:ios:1", &options), TW_OK);
  EXPECT(tw_options_set_quado_app_id(options, "\xc3\x28"), TW_ERR_INVALID_UTF8);
  const char* badSafelist[] = {"fine", "a_name_longer_than_the_forty_characters_allowed"};
  EXPECT(tw_options_set_safelisted_events(options, badSafelist, 2), TW_ERR_INVALID_NAME);
  EXPECT(tw_options_set_safelisted_events(options, NULL, 1), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_params_add_int((tw_params*)options, "k", 1), TW_ERR_INVALID_HANDLE); /* as an FFI might */
  EXPECT(tw_params_free((tw_params*)options), TW_ERR_INVALID_HANDLE);
  EXPECT(tw_options_free(options), TW_OK);
  EXPECT(tw_options_free(options), TW_ERR_INVALID_HANDLE);
  EXPECT(tw_options_free(NULL), TW_ERR_NULL_ARGUMENT);

  /* Before tw_configure. */
  EXPECT(tw_start(), TW_ERR_NOT_CONFIGURED);
  EXPECT(tw_log_event("too_early", NULL), TW_ERR_NOT_CONFIGURED);
  EXPECT(tw_set_user_property("too_early", "x"), TW_ERR_NOT_CONFIGURED);
  EXPECT(tw_wait_until_pending_calls_stored(10), TW_ERR_REFUSED);

  EXPECT(tw_params_new(NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_params_new(&params), TW_OK);
  EXPECT(tw_params_add_string(NULL, "k", "v"), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_params_add_string(params, NULL, "v"), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_params_add_string(params, "k", NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_params_add_string(params, "k", "\xe2\x82"), TW_ERR_INVALID_UTF8);
  EXPECT(tw_params_add_int(params, "\xed\xa0\x80", 1), TW_ERR_INVALID_UTF8); /* a UTF-16 surrogate */
  EXPECT(tw_params_add_double(params, "k", 1.5), TW_OK);
  EXPECT(tw_params_add_item(params, "k", params), TW_ERR_INVALID_VALUE); /* "k" holds a number */
  EXPECT(tw_params_add_item(params, "items", NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_params_free(params), TW_OK);
  EXPECT(tw_params_free(params), TW_ERR_INVALID_HANDLE);
  EXPECT(tw_params_add_int(params, "k", 1), TW_ERR_INVALID_HANDLE);

  EXPECT(tw_log_event(NULL, NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_log_event("caf\xe9", NULL), TW_ERR_INVALID_UTF8);
  EXPECT(tw_set_user_property("hero", NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_clear_user_property(NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_set_user_id("\x80"), TW_ERR_INVALID_UTF8);
  EXPECT(tw_set_consent(7, TW_CONSENT_GRANTED), TW_ERR_INVALID_VALUE);
  EXPECT(tw_get_app_instance_id(NULL, NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_add_log_event_listener(NULL, NULL, &token), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_add_log_event_listener(onEvent, NULL, NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_remove_log_event_listener(0), TW_ERR_INVALID_HANDLE);
  EXPECT(tw_handle_open_url(NULL), TW_ERR_NULL_ARGUMENT);
  EXPECT(tw_handle_open_url(""), TW_ERR_INVALID_VALUE);

  if (strcmp(tw_version(), "8.9.1") != 0 || strcmp(tw_version(), TW_VERSION_STRING) != 0) {
    fprintf(stderr, "FAIL version %s\n", tw_version());
    ++failures;
  }
  if (strcmp(tw_status_string(99), "unknown status") != 0 || strcmp(tw_status_string(TW_OK), "ok") != 0) {
    fprintf(stderr, "FAIL tw_status_string\n");
    ++failures;
  }
}

int main(void) {
  badInput();

  tw_options* options = NULL;
  EXPECT(tw_options_new("1:1234567890:ios:c0ffee", &options), TW_OK);
  EXPECT(tw_options_set_quado_app_id(options, "quado-c-interface"), TW_OK);
  EXPECT(tw_options_set_collection_enabled(options, 1), TW_OK);
  EXPECT(tw_options_set_collection_deactivated(options, 0), TW_OK);
  /* Marks these events ("lq_safelisted"), which the upload check looks for; drops others. */
  const char* safelist[] = {"level_up", "purchase", "_err", "_cmp", "_s", "_e", "_f"};
  EXPECT(tw_options_set_safelisted_events(options, safelist, sizeof safelist / sizeof *safelist), TW_OK);
  EXPECT(tw_configure(options), TW_OK);
  EXPECT(tw_configure(options), TW_ERR_REFUSED);
  EXPECT(tw_options_free(options), TW_OK);

  tw_listener_token token = 0;
  EXPECT(tw_add_log_event_listener(onEvent, &purchasesSeen, &token), TW_OK);
  EXPECT(tw_start(), TW_OK);
  EXPECT(tw_start(), TW_ERR_REFUSED);

  EXPECT(tw_set_consent(TW_CONSENT_DENIED, TW_CONSENT_GRANTED), TW_OK);
  EXPECT(tw_set_analytics_collection_enabled(1), TW_OK);
  EXPECT(tw_set_user_id("c-player-42"), TW_OK);
  EXPECT(tw_set_user_property("favorite_hero", "c_mage"), TW_OK);
  EXPECT(tw_set_user_property("temporary", "soon gone"), TW_OK);
  EXPECT(tw_clear_user_property("temporary"), TW_OK);
  char longValue[120];
  memset(longValue, 'v', sizeof longValue - 1);
  longValue[sizeof longValue - 1] = '\0';
  EXPECT(tw_set_user_property("too_long_c", longValue), TW_ERR_INVALID_VALUE);
  EXPECT(tw_set_user_property("_reserved_c", "x"), TW_ERR_INVALID_NAME);
  EXPECT(tw_log_event("9lives_c", NULL), TW_ERR_INVALID_NAME);

  tw_params* defaults = NULL;
  EXPECT(tw_params_new(&defaults), TW_OK);
  EXPECT(tw_params_add_string(defaults, "build_flavor", "c_default_param"), TW_OK);
  EXPECT(tw_set_default_event_parameters(defaults), TW_OK);
  EXPECT(tw_params_free(defaults), TW_OK);

  tw_params* level = NULL;
  EXPECT(tw_params_new(&level), TW_OK);
  EXPECT(tw_params_add_int(level, "level", 7), TW_OK);
  EXPECT(tw_params_add_string(level, "character", "c_wizard"), TW_OK);
  EXPECT(tw_log_event("level_up", level), TW_OK);
  EXPECT(tw_params_free(level), TW_OK);

  tw_params* purchase = NULL;
  tw_params* item = NULL;
  EXPECT(tw_params_new(&purchase), TW_OK);
  EXPECT(tw_params_add_string(purchase, "currency", "EUR"), TW_OK);
  EXPECT(tw_params_add_double(purchase, "value", 7.48), TW_OK);
  EXPECT(tw_params_add_string(purchase, "transaction_id", "T-c-1001"), TW_OK);
  EXPECT(tw_params_new(&item), TW_OK);
  EXPECT(tw_params_add_string(item, "item_id", "sku_c_sword"), TW_OK);
  EXPECT(tw_params_add_double(item, "price", 4.99), TW_OK);
  EXPECT(tw_params_add_int(item, "quantity", 1), TW_OK);
  EXPECT(tw_params_add_item(purchase, "items", item), TW_OK);
  EXPECT(tw_params_add_string(item, "item_id", "sku_c_shield"), TW_OK); /* the first copy keeps its ID */
  EXPECT(tw_params_add_double(item, "price", 2.49), TW_OK);
  EXPECT(tw_params_add_item(purchase, "items", item), TW_OK);
  EXPECT(tw_log_event("purchase", purchase), TW_OK);
  EXPECT(tw_params_free(item), TW_OK);
  EXPECT(tw_params_free(purchase), TW_OK);

  EXPECT(tw_handle_open_url("skyforge://open?utm_source=c_newsletter&utm_medium=email&utm_campaign=winter"), TW_OK);
  EXPECT(tw_wait_until_pending_calls_stored(20000), TW_OK);

  for (int i = 0; i < 200 && atomic_load(&purchasesSeen) == 0; ++i) sleepMs(50);
  if (atomic_load(&purchasesSeen) != 1) {
    fprintf(stderr, "FAIL the listener saw %d purchases\n", atomic_load(&purchasesSeen));
    ++failures;
  }
  EXPECT(tw_remove_log_event_listener(token), TW_OK);
  atomic_store(&listenerRemoved, 1);
  EXPECT(tw_remove_log_event_listener(token), TW_ERR_INVALID_HANDLE);

  char before[64] = "unset";
  EXPECT(tw_get_app_instance_id(copyID, before), TW_OK);
  if (strlen(before) != 32) {
    fprintf(stderr, "FAIL app instance ID \"%s\"\n", before);
    ++failures;
  }

  /* In debug mode the library uploads about a second after an event; let it go out. */
  sleepMs(4000);

  EXPECT(tw_reset_analytics_data(), TW_OK);
  EXPECT(tw_log_event("level_up", NULL), TW_OK); /* after a reset: a new app instance */
  EXPECT(tw_wait_until_pending_calls_stored(20000), TW_OK);
  char after[64] = "unset";
  EXPECT(tw_get_app_instance_id(copyID, after), TW_OK);
  if (strcmp(before, after) == 0) {
    fprintf(stderr, "FAIL the app instance ID did not change at the reset (%s)\n", after);
    ++failures;
  }
  EXPECT(tw_set_analytics_collection_enabled(0), TW_OK);
  EXPECT(tw_set_user_id(NULL), TW_OK);
  EXPECT(tw_set_default_event_parameters(NULL), TW_OK);
  if (atomic_load(&eventsAfterRemoval) != 0 || atomic_load(&listenerFaults) != 0) {
    fprintf(stderr, "FAIL the listener ran after its removal or without its user data\n");
    ++failures;
  }
  printf("c_interface_test: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
