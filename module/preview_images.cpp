// The seven stored preview images. Placeholder until the generator's output
// replaces it.
#include "preview.h"
