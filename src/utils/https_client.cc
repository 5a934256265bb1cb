#include "utils/https_client.h"

int HttpsInit(event_base*) {
  return 0;
}
int HttpsCleanUp() {
  return 0;
}
