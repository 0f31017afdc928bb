#include "WindowLayout.h"

int CentredOffset(int screenSize, int windowSize)
{
    return (screenSize - windowSize) / 2;
}
