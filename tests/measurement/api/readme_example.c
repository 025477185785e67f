#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <tallywise/tallywise.h>

// Runs on the library's queue for every event it stored.
static void on_event(const char* origin, const char* name, const char* parameters, void* user_data) {
  (void)user_data;
  printf("accepted %s %s %s\n", origin, name, parameters);
}

#define CHECK(call)                                                      \
  do {                                                                   \
    tw_status status_ = (call);                                          \
    if (status_ != TW_OK) {                                              \
      fprintf(stderr, "%s: %s\n", #call, tw_status_string(status_));     \
      return 1;                                                          \
    }                                                                    \
  } while (0)

int main(void) {
  printf("Tallywise %s\n", tw_version());
  tw_options* options;
  CHECK(tw_options_new("1:1234567890:ios:0a1b2c3d4e5f", &options));
  CHECK(tw_configure(options));
  CHECK(tw_options_free(options));

  tw_listener_token listener;
  CHECK(tw_add_log_event_listener(on_event, NULL, &listener));
  CHECK(tw_start());
  CHECK(tw_set_consent(TW_CONSENT_DENIED, TW_CONSENT_GRANTED));  // ad storage, analytics storage
  CHECK(tw_set_user_id("player-7781"));
  CHECK(tw_set_user_property("favorite_hero", "mage"));

  // A purchase of two items: the builder copies each item as it is when added.
  tw_params* purchase;
  tw_params* item;
  CHECK(tw_params_new(&purchase));
  CHECK(tw_params_new(&item));
  CHECK(tw_params_add_string(purchase, "currency", "EUR"));
  CHECK(tw_params_add_double(purchase, "value", 7.48));
  CHECK(tw_params_add_string(item, "item_name", "Ember Blade"));
  CHECK(tw_params_add_double(item, "price", 4.99));
  CHECK(tw_params_add_int(item, "quantity", 1));
  CHECK(tw_params_add_item(purchase, "items", item));
  CHECK(tw_params_add_string(item, "item_name", "Frost Shield"));
  CHECK(tw_params_add_double(item, "price", 2.49));
  CHECK(tw_params_add_item(purchase, "items", item));
  CHECK(tw_log_event("purchase", purchase));
  tw_params_free(item);
  tw_params_free(purchase);

  // A name the library refuses: a code here, an "_err" event at the service.
  if (tw_log_event("2fast", NULL) != TW_ERR_INVALID_NAME) return 1;

  CHECK(tw_wait_until_pending_calls_stored(10000));
  CHECK(tw_remove_log_event_listener(listener));
  // Stay a moment, as an app would, so this run's events are uploaded now.
  sleep(5);
  return 0;
}
