// Includes nothing of the program: accepted.
#pragma once
#include <string>
