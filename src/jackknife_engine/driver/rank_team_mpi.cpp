// The rank team over MPI, for the three programs: MPI's calls behind the
// team's transport. Linked only into the programs, so that the front door
// and the library neither link nor load MPI.
#include "jackknife_engine/driver/rank_team.hpp"

#include <cstdlib>

#ifdef MINQUE_HAVE_MPI
// The C interface only (no C++ bindings, which need their own library).
#define OMPI_SKIP_MPICXX 1
#define MPICH_SKIP_MPICXX 1
#include <mpi.h>
#endif

namespace minque {

#ifdef MINQUE_HAVE_MPI
namespace {

bool startedByLauncher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "MPI_LOCALNRANKS"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}

void join(RankTeam& team) {
    MPI_Init(nullptr, nullptr);
    MPI_Comm_rank(MPI_COMM_WORLD, &team.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &team.size);
    MPI_Comm node;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, team.rank, MPI_INFO_NULL, &node);
    MPI_Comm_rank(node, &team.localRank);
    MPI_Comm_size(node, &team.localSize);
    MPI_Comm_free(&node);
}

void leave(int exitCode, bool active) {
    int initialized = 0, finalized = 0;
    MPI_Initialized(&initialized);
    MPI_Finalized(&finalized);
    if (initialized == 0 || finalized != 0) return;
    if (exitCode != 0 && active) MPI_Abort(MPI_COMM_WORLD, exitCode);
    MPI_Finalize();
}

void broadcastText(std::string& text) {
    long long size = static_cast<long long>(text.size());
    MPI_Bcast(&size, 1, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
    text.resize(static_cast<std::size_t>(size));
    // In pieces below 2^31 bytes: MPI counts are ints.
    constexpr long long kPiece = 1LL << 30;
    for (long long at = 0; at < size; at += kPiece)
        MPI_Bcast(text.data() + at, static_cast<int>(size - at < kPiece ? size - at : kPiece), MPI_CHAR, 0, MPI_COMM_WORLD);
}

void broadcastInt(int* value) { MPI_Bcast(value, 1, MPI_INT, 0, MPI_COMM_WORLD); }

void send(int pass, const std::string& bytes) {
    long long size = static_cast<long long>(bytes.size());
    if (size >= (1LL << 31)) stopRun("pass %d: %lld bytes of records are more than one message holds", pass, size);
    MPI_Send(&size, 1, MPI_LONG_LONG, 0, 2 * pass, MPI_COMM_WORLD);
    MPI_Send(bytes.data(), static_cast<int>(size), MPI_CHAR, 0, 2 * pass + 1, MPI_COMM_WORLD);
}

std::string receive(int pass, int fromRank) {
    long long size = 0;
    MPI_Recv(&size, 1, MPI_LONG_LONG, fromRank, 2 * pass, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    MPI_Recv(bytes.data(), static_cast<int>(size), MPI_CHAR, fromRank, 2 * pass + 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    return bytes;
}

constexpr RankTransport kMpi = {startedByLauncher, join, leave, broadcastText, broadcastInt, send, receive};

}  // namespace

void useMpiRanks() { useRankTransport(&kMpi); }
#else
void useMpiRanks() {}
#endif

}  // namespace minque
