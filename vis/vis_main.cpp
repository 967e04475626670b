// halvex-vis: preset visuals of the daemon's processed output in a Vulkan window.
#include "vis/vis_session.h"

int main(int argc, char** argv) { return halvex::vis::Run(argc, argv); }
