// isp2313-probe: tells what works between a serial port and an AT90S2313 or ATtiny2313.
#include "run/probe.h"

int main(int argc, char** argv)
{
    return probe(argc, argv);
}
