// Fixed texts of the report on standard output: the section headings and the
// layout table's session header.
#pragma once

#include <string>

namespace trakmap::test {

inline const std::string kContent = "\n\n.cue Content:\n--------------------------------\n";
inline const std::string kLayout = "\n\nCD Layout:\n--------------------------------\n";
inline const std::string kFiles = "\nFiles:\n--------------------------------\n";
inline const std::string kCdText = "\n\nCDTEXT:\n--------------------------------\n";
inline const std::string kSessionOne =
    "Session 1\n File    Track    Index      AbsolutePosition        RelativePosition             Length\n";

}  // namespace trakmap::test
