/* Uses the installed C header and library the way a C program would. */
#include <stdio.h>
#include <string.h>

#include <tallywise/tallywise.h>

int main(void) {
  tw_params* purchase = NULL;
  tw_params* item = NULL;
  if (tw_params_new(&purchase) != TW_OK || tw_params_new(&item) != TW_OK) return 1;
  if (tw_params_add_string(item, "item_name", "Ember Blade") != TW_OK) return 1;
  if (tw_params_add_item(purchase, "items", item) != TW_OK) return 1;
  if (tw_params_add_string(purchase, "items", "\xff") != TW_ERR_INVALID_UTF8) return 1;
  if (tw_log_event("purchase", purchase) != TW_ERR_NOT_CONFIGURED) return 1;
  if (tw_params_free(item) != TW_OK || tw_params_free(purchase) != TW_OK) return 1;
  if (tw_params_free(purchase) != TW_ERR_INVALID_HANDLE) return 1;
  if (strcmp(tw_version(), TW_VERSION_STRING) != 0) return 1;
  printf("c consumer: Tallywise %s\n", tw_version());
  return 0;
}
