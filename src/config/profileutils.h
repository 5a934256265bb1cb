// The DNS profile store: per-client filtering profiles from sign-on and configuration messages.
#pragma once

#include "proto/messages.h"

// Validates and stores one profile (or deletes it); answers the transaction itself. 0 or -1.
int UpdateProfile(const Zun__Config__DNSPROFILE* profile);
// Removes the profiles of the listed stations. 0 or -1 (the caller answers the transaction).
int DeleteProfile(const Zun__Config__DNSPROFILEDEL* profile);
