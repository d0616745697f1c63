// A caller's request to stop a long kernel early. Kernels whose running time
// the caller's arguments can stretch (many displacements, say) poll it between
// units of work of a few milliseconds at most (a row, a pass). Once it answers
// true it keeps answering true, and the kernel returns as soon as it can,
// leaving its output incomplete: the caller discards that output. What
// stopping means (a signal, a deadline) is the caller's business. Pure C++.
#pragma once

namespace qlo::kernels {

class Interrupt {
public:
    virtual bool requested() = 0;

protected:
    ~Interrupt() = default;
};

// The poll for kernels that may be handed no interrupt (null: never stop).
inline bool stop_requested(Interrupt* interrupt) { return interrupt && interrupt->requested(); }

}  // namespace qlo::kernels
