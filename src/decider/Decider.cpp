#include "Decider.h"

Decider::~Decider() = default;
