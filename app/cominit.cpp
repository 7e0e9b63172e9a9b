#include "app/cominit.h"

void InitializeCom() {}
