// A viewer that dies in the middle of reading: it takes the log queue's mutex, says so through
// the event the test names on its command line, and ends without giving the mutex back.
#include "debuglog/LogQueue.h"

int main() {
  // The handles go with the process, as a crashed viewer's do.
  HANDLE mutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, DEBUGLOG_QUEUE_MUTEX_NAME);
  if (!mutex) return 1;
  if (WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 2;
  HANDLE told = OpenEventW(EVENT_MODIFY_STATE, FALSE, W_("Global\\MutexHolderHasIt"));
  if (!told || !SetEvent(told)) return 3;
  Sleep(300);
  return 0;
}
