// The processes of one run under MPI: the J + 1 estimation passes of the
// jackknife are independent, so `mpirun -np R` deals them to R ranks (pass k
// to rank k mod R). Rank 0 alone reads the input files, prints the console
// texts, writes the report and the record files and computes the statistics;
// the other ranks receive the model and the data from it, run their passes
// with private scratch files and send each pass's records to rank 0.
//
// Without MPI (a build without it, a program that does not take part in
// teams, or one not started by mpirun) the team is one process and nothing
// here does anything. Only the three programs take part (`useMpiRanks`): the
// front door and the library run as one process and do not load MPI.
#pragma once

#include <string>

#include "core/fatal_error.hpp"

namespace minque {

struct RankTeam {
    int rank = 0, size = 1;            // in the whole run
    int localRank = 0, localSize = 1;  // on this node
    bool active() const { return size > 1; }
};

// How the ranks of a team reach each other (the MPI calls).
struct RankTransport {
    bool (*startedByLauncher)();
    void (*join)(RankTeam& team);
    void (*leave)(int exitCode, bool active);
    void (*broadcastText)(std::string& text);
    void (*broadcastInt)(int* value);
    void (*send)(int pass, const std::string& bytes);
    std::string (*receive)(int pass, int fromRank);
};
void useRankTransport(const RankTransport* transport);

// A program's main calls this first to take part in teams under MPI
// (rank_team_mpi.cpp; it does nothing in a build without MPI).
void useMpiRanks();

// Joins the run's team: MPI is started only when the process was started by
// an MPI launcher (its environment says so), so a plain run starts no MPI.
const RankTeam& joinRankTeam();
const RankTeam& rankTeam();

// Ends the team: with exit code 0 every rank leaves MPI normally; any other
// code ends every rank at once (MPI_Abort) with that code. Returns the code
// (a team of one process has nothing to end).
int leaveRankTeam(int exitCode);

// The one catch point of a program, for its main: prints the error as the
// program prints it (after "[rank N] " on a rank of a run under MPI, so that
// the user sees which rank failed) and leaves the team, which under MPI ends
// every rank (no rank waits on a dead one). Returns the exit status.
int endProgram(const RunError& error);

// Rank 0's text or numbers to every rank (nothing for a team of one).
void broadcastText(std::string& text);
void broadcastInt(int* value);

// The record bytes of pass k, from the rank that computed it to rank 0.
void sendPassRecords(int pass, const std::string& bytes);
std::string receivePassRecords(int pass, int fromRank);

}  // namespace minque
