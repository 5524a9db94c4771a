// What the window needs to know of the window system underneath Qt.
#pragma once

#include <Qt>

// True while `button` is held down on the X server right now; true where that cannot be asked.
// A press that the program handles after its release has already happened reads false.
bool PointerButtonHeld(Qt::MouseButton button);
