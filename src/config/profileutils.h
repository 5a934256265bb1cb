// The DNS profile store: per-client filtering profiles from sign-on and configuration messages.
#pragma once

#include "proto/messages.h"

// Validates and stores one profile (or deletes it). 0 or -1.
int UpdateProfile(const Zun__Config__DNSPROFILE* profile);
