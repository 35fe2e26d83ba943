#include "multiply/method/problem.h"

Problem problem;
