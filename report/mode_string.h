#pragma once

namespace kotar {

// Writes the ten-character permission string of `mode` and a NUL into out:
// '-' in place of the type letter, then the owner, group and other triples,
// with set-user-ID, set-group-ID and sticky shown as s/S and t/T.
void formatModeString(int mode, char out[11]);

// The listing's type letter for a typeflag.
char typeLetter(unsigned char typeflag);

}  // namespace kotar
