// The one saved position of a stage that can be checkpointed and rewound.
//
// Checkpoint and rewind must alternate: a second checkpoint would lose the
// first position, and a rewind without one has nowhere to go. Either is
// refused with code -9999 and the stage's own text, naming the stage's
// call site, and the slot stays as it was.
#pragma once

#include "engine_error.h"

namespace vxt {

template <typename Position>
class checkpoint_slot {
public:
    void save(Position position, const char* already_held, const char* file = __builtin_FILE(),
              int line = __builtin_LINE())
    {
        if (held_)
            raise(error_misuse, already_held, file, line);
        position_ = position;
        held_ = true;
    }

    Position take(const char* none_held, const char* file = __builtin_FILE(), int line = __builtin_LINE())
    {
        if (!held_)
            raise(error_misuse, none_held, file, line);
        held_ = false;
        return position_;
    }

    bool held() const noexcept { return held_; }

private:
    Position position_{};
    bool held_ = false;
};

}  // namespace vxt
