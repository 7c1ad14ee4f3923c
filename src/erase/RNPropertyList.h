// RNValue dictionaries to and from property lists (libplist).
//
// Integers: the property-list format has one 64-bit integer kind, so integers come back as
// Int (a value above INT64_MAX written as UInt reads back with the same bits as a negative Int).
// Dates come back as Double seconds since 1 January 2001.
#pragma once

#include "erase/RNValue.h"

#include <optional>
#include <string>

namespace quillo::erase {

// XML or binary property list whose root is a dictionary; nullopt (with a reason) otherwise.
std::optional<RNDictionary> RNPropertyListReadDictionary(const std::string& bytes,
                                                         std::string* error = nullptr);

// XML property list text. Fails (nullopt, with a reason) for values a property list cannot hold
// faithfully: objects, nulls inside arrays, and strings or keys that are not valid UTF-8 or that
// contain control characters XML forbids (they would be altered or lost on the way back).
// Null dictionary members are left out: null means "no value".
std::optional<std::string> RNPropertyListXMLFromDictionary(const RNDictionary& dict,
                                                           std::string* error = nullptr);

// True for valid UTF-8 without the control characters XML 1.0 forbids (tab, LF, CR allowed).
bool RNPropertyListStringIsWritable(const std::string& s);

}  // namespace quillo::erase
