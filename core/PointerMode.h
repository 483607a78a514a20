#pragma once
// The pointer a window shows, by the classic values of a window's mouse pointer: the windows set it,
// and the replacement run asks its host for the hourglass and back.

namespace quarvel {

enum PointerMode : int {
    DefaultPointer = 0,
    Hourglass = 11,
    CustomPointer = 99,
};

} // namespace quarvel
