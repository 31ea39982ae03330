#include "app/output.h"

int main() {
  dictate::emitEvent({{"type", "ready"}});
  return 0;
}
