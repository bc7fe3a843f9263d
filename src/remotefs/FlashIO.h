#pragma once

#include "EccParameters.h"

#include <QtPlugin>

// Stands for a flash geometry: readers of that flash carry it as a Qt interface so that a
// meta-object cast by the geometry's name finds them. It has no state and no virtual functions.
template <typename Parameters> class FlashIO
{
public:
    using Geometry = Parameters;
};

using EccFlashIO = FlashIO<TC58CYG1S3HxAIDetail::EccParameters>;

#define TW_ECC_FLASH_IO_IID "FlashIO<TC58CYG1S3HxAIDetail::EccParameters>"
Q_DECLARE_INTERFACE(EccFlashIO, TW_ECC_FLASH_IO_IID)
