// The end-to-end cases' fixture: makes each wine prefix once, before any case runs, so that
// a case finds its prefix ready or fails with the reason printed here.
#include <cstdio>
#include "e2e/harness.h"

int main()
{
    int failures = 0;
    for (target which : {target::wine64, target::wine32}) {
        if (which == target::wine32 && !E2E_WITH_WINE32)
            continue;
        std::string error = prepare_wine(which);
        std::printf("%s: %s\n", target_name(which), error.empty() ? "the prefix is ready" : error.c_str());
        failures += !error.empty();
    }
    return failures == 0 ? 0 : 1;
}
