#include "jackknife_engine/driver/rank_team.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef MINQUE_HAVE_MPI
// The C interface only (no C++ bindings, which need their own library).
#define OMPI_SKIP_MPICXX 1
#define MPICH_SKIP_MPICXX 1
#include <mpi.h>
#endif

#include "core/fatal_error.hpp"

namespace minque {

namespace {

RankTeam team;
bool joined = false;

#ifdef MINQUE_HAVE_MPI
bool startedByLauncher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "MPI_LOCALNRANKS"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}

bool mpiRunning() {
    int initialized = 0, finalized = 0;
    MPI_Initialized(&initialized);
    MPI_Finalized(&finalized);
    return initialized != 0 && finalized == 0;
}
#endif

// "[rank N] " before the messages of a rank of a team of several.
char messagePrefix[32] = "";

}  // namespace

const RankTeam& rankTeam() { return team; }

const RankTeam& joinRankTeam() {
    if (joined) return team;
    joined = true;
#ifdef MINQUE_HAVE_MPI
    if (!startedByLauncher()) return team;
    MPI_Init(nullptr, nullptr);
    MPI_Comm_rank(MPI_COMM_WORLD, &team.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &team.size);
    MPI_Comm node;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, team.rank, MPI_INFO_NULL, &node);
    MPI_Comm_rank(node, &team.localRank);
    MPI_Comm_size(node, &team.localSize);
    MPI_Comm_free(&node);
    if (team.active()) std::snprintf(messagePrefix, sizeof messagePrefix, "[rank %d] ", team.rank);
#endif
    return team;
}

int leaveRankTeam(int exitCode) {
#ifdef MINQUE_HAVE_MPI
    if (mpiRunning()) {
        if (exitCode != 0 && team.active()) MPI_Abort(MPI_COMM_WORLD, exitCode);
        MPI_Finalize();
    }
#endif
    return exitCode;
}

int endProgram(const RunError& error) {
    printRunError(error, messagePrefix);
    return leaveRankTeam(exitStatusOf(error));
}

#ifdef MINQUE_HAVE_MPI
void broadcastText(std::string& text) {
    if (!team.active()) return;
    long long size = static_cast<long long>(text.size());
    MPI_Bcast(&size, 1, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
    text.resize(static_cast<std::size_t>(size));
    // In pieces below 2^31 bytes: MPI counts are ints.
    constexpr long long kPiece = 1LL << 30;
    for (long long at = 0; at < size; at += kPiece)
        MPI_Bcast(text.data() + at, static_cast<int>(size - at < kPiece ? size - at : kPiece), MPI_CHAR, 0, MPI_COMM_WORLD);
}

void broadcastInt(int* value) {
    if (team.active()) MPI_Bcast(value, 1, MPI_INT, 0, MPI_COMM_WORLD);
}

void sendPassRecords(int pass, const std::string& bytes) {
    long long size = static_cast<long long>(bytes.size());
    if (size >= (1LL << 31)) stopRun("pass %d: %lld bytes of records are more than one message holds", pass, size);
    MPI_Send(&size, 1, MPI_LONG_LONG, 0, 2 * pass, MPI_COMM_WORLD);
    MPI_Send(bytes.data(), static_cast<int>(size), MPI_CHAR, 0, 2 * pass + 1, MPI_COMM_WORLD);
}

std::string receivePassRecords(int pass, int fromRank) {
    long long size = 0;
    MPI_Recv(&size, 1, MPI_LONG_LONG, fromRank, 2 * pass, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    MPI_Recv(bytes.data(), static_cast<int>(size), MPI_CHAR, fromRank, 2 * pass + 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    return bytes;
}
#else
void broadcastText(std::string&) {}
void broadcastInt(int*) {}
void sendPassRecords(int, const std::string&) {}
std::string receivePassRecords(int, int) { return {}; }
#endif

}  // namespace minque
