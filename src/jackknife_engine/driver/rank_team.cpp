#include "jackknife_engine/driver/rank_team.hpp"

#include <cstdio>

#include "core/fatal_error.hpp"

namespace minque {

namespace {

RankTeam team;
bool joined = false;
const RankTransport* transport = nullptr;

// "[rank N] " before the messages of a rank of a team of several.
char messagePrefix[32] = "";

}  // namespace

void useRankTransport(const RankTransport* with) { transport = with; }

const RankTeam& rankTeam() { return team; }

const RankTeam& joinRankTeam() {
    if (joined) return team;
    joined = true;
    if (transport == nullptr || !transport->startedByLauncher()) return team;
    transport->join(team);
    if (team.active()) std::snprintf(messagePrefix, sizeof messagePrefix, "[rank %d] ", team.rank);
    return team;
}

int leaveRankTeam(int exitCode) {
    if (transport != nullptr) transport->leave(exitCode, team.active());
    return exitCode;
}

int endProgram(const RunError& error) {
    printRunError(error, messagePrefix);
    return leaveRankTeam(exitStatusOf(error));
}

void broadcastText(std::string& text) {
    if (team.active()) transport->broadcastText(text);
}

void broadcastInt(int* value) {
    if (team.active()) transport->broadcastInt(value);
}

void sendPassRecords(int pass, const std::string& bytes) {
    if (team.active()) transport->send(pass, bytes);
}

std::string receivePassRecords(int pass, int fromRank) {
    return team.active() ? transport->receive(pass, fromRank) : std::string();
}

}  // namespace minque
