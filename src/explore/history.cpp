#include "history.h"

SoundHistory::SoundHistory(const SoundParams &state, size_t depth)
    : current_(state), depth_(depth == 0 ? 1 : depth)
{
}

bool SoundHistory::commit(const SoundParams &state)
{
    if (same_sound(state, current_))
        return false;
    past_.push_back(current_);
    // The oldest steps go first when the history is full.
    while (past_.size() > depth_)
        past_.pop_front();
    current_ = state;
    future_.clear();
    return true;
}

std::optional<SoundParams> SoundHistory::undo()
{
    if (past_.empty())
        return std::nullopt;
    future_.push_back(current_);
    current_ = past_.back();
    past_.pop_back();
    return current_;
}

std::optional<SoundParams> SoundHistory::redo()
{
    if (future_.empty())
        return std::nullopt;
    past_.push_back(current_);
    current_ = future_.back();
    future_.pop_back();
    return current_;
}
