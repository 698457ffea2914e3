// isp2313: in-system programmer for the AT90S2313 and ATtiny2313 on a serial port.
#include "run/run.h"

int main(int argc, char** argv)
{
    return run(argc, argv);
}
