// The opening lines of the report: trait and component counts, degrees of
// freedom, the report name, the date, the method, the references and the
// legend of the significance marks.
#pragma once

#include <cstdio>
#include <ctime>

namespace minque {

void writeReportPreamble(std::FILE* report, bool chinese, int traitCount, int componentCount,
                         int replicateDf, const char* reportName, std::time_t now);

}  // namespace minque
