// corvo-simcam: a simulated camera daemon. Its model, image size, pixel type,
// exposure time and file-name pattern come from "camera.conf"; the header
// cards of its images from "fitshdr.txt" (both in the configuration
// directory, see examples/simcam).
#include "simcam.h"

int main(int argc, char** argv)
{
    simcam::SimCam camera;
    return camera.run(argc, argv) == 0 ? 0 : 1;
}
