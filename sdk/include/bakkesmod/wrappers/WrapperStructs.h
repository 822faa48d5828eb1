#pragma once

// A colour with components from 0 to 1.
struct LinearColor {
    float R, G, B, A;
};
