// Time texts and arithmetic shared by every module.
#pragma once

#include <sys/time.h>

#include <string>

// Local time as "%04d-%02d-%02d %02d:%02d:%02d"; 0, or -1 after printing
// "Error extracting local time".
int GetLocalTime(std::string& out);
int GetLocalTime(char* out, size_t size);
// Current UTC time as "%Y-%m-%dT%H:%M:%S.mmmZ"; 0 or -1.
int GetISOTime(std::string& out);
int GetISOTime(char* out, size_t size);
// A pseudo-random whole number of seconds in 1..max (max -1 yields 1); 0.
int GetRandomTimeJitter(int max, int* out);
// result = x - y with microseconds normalised into 0..999999; 1 when negative, else 0.
int timeval_subtract(timeval* result, const timeval* x, const timeval* y);
// UTC time of day of now as "hh:mm:ss".
std::string UtcClockText();
