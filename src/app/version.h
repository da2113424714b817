// Version of the updater and of upkeep-pack (their own, not any game's).
#ifndef UPKEEP_APP_VERSION_H_
#define UPKEEP_APP_VERSION_H_

#define UPKEEP_VERSION_BINARY 1, 0, 0, 0
#define UPKEEP_VERSION_TEXT "1.0.0.0"

#endif  // UPKEEP_APP_VERSION_H_
