#pragma once

#include <QMetaType>

struct float2 {
    float x = 0.f;
    float y = 0.f;
};

struct float3 {
    float x = 0.f;
    float y = 0.f;
    float z = 0.f;
};

Q_DECLARE_METATYPE(float2)
Q_DECLARE_METATYPE(float3)
