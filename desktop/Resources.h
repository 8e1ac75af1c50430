#pragma once

// Registers the help file and pictures built into the tool's library; the
// library is static, so nothing does it on its own.
void InitMirtoResources();
