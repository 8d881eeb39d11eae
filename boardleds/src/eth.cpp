// The exported PHY register description, alone in its object file: a static
// link takes it only when the application refers to it, so an application
// with a global of its own named eth still links.
#include "board.h"

extern "C" const phy_desc eth = boardleds::kEthPhy;
