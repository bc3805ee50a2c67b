// Writing the service's answers as JSON text.
//
// Like boost::json::serialize, except that doubles are written in their
// shortest round-trip decimal form ("0.25", "4") instead of Boost's
// exponent form ("2.5E-1", "4E0"), which people read in the demo and logs.
//
// Thread-safety: stateless.
#pragma once

#include <boost/json.hpp>
#include <string>

namespace tindrel::companion {

// Compact JSON text of `value`; members in their stored order. A non-finite
// double, which JSON cannot hold, is written as null.
std::string toJsonText(const boost::json::value& value);

}  // namespace tindrel::companion
