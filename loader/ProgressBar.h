#pragma once

// The bar the download drives; each call must redraw it before it returns.
class TProgressBar {
public:
    virtual ~TProgressBar() = default;
    virtual void SetRange(int minimum, int maximum) = 0;
    virtual void SetPosition(int position) = 0;
};
