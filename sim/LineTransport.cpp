#include "LineTransport.h"

LineTransport::~LineTransport() = default;
