// Wall-clock time of the phases of a run, gathered only when asked for (the
// argument --timings after the ten); used by the benchmarks.
#pragma once

#include <chrono>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

class PhaseTimer {
public:
    PhaseTimer(AnalysisState& st, Phase phase)
        : st_(st), phase_(phase), start_(st.timePhases ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{}) {}
    ~PhaseTimer() {
        if (st_.timePhases)
            st_.phaseSeconds[phase_] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;

private:
    AnalysisState& st_;
    Phase phase_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace minque
