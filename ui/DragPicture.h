#pragma once

#include <QPixmap>

// The picture that follows the cursor while emails are dragged onto the folder
// list: one envelope for a single email, a small stack for several.
QPixmap dragPicture(bool several);
