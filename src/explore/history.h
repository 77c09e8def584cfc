// Undo and redo over the states of a sound: the one state shown now, the
// states before it and those that an undo stepped back from.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "explore.h"

class SoundHistory {
public:
    //! Starts with `state` as the current one and nothing to undo or redo.
    explicit SoundHistory(const SoundParams &state, size_t depth = 500);

    //! Records `state` as the new current one when it differs from the
    //! current one: the old one can be undone to, nothing can be redone.
    //! Returns whether a step was recorded.
    bool commit(const SoundParams &state);

    //! Steps back: the state before the current one, which becomes current;
    //! none when there is nothing to undo.
    std::optional<SoundParams> undo();
    //! Steps forward again after an undo; none when there is nothing to redo.
    std::optional<SoundParams> redo();

    const SoundParams &current() const { return current_; }
    bool can_undo() const { return !past_.empty(); }
    bool can_redo() const { return !future_.empty(); }

private:
    std::deque<SoundParams> past_;
    std::vector<SoundParams> future_;
    SoundParams current_;
    size_t depth_;
};
