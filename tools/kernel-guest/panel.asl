// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// A laptop panel for QEMU's emulated VGA (PCI 00:02.0, ACPI node S10 on the
// "pc" machine), driven by the kernel's own acpi_video driver: one LCD output
// with brightness levels 0 to 100, which acpi_video offers as
// /sys/class/backlight/acpi_video0 with max_brightness 100. The firmware
// stores the level it is given and reports it back, but fails to set level
// 77: its set-level method divides by zero there, so the kernel's call of it
// fails as a faulty firmware's does.
DefinitionBlock ("", "SSDT", 2, "LUMIVR", "PANEL", 1)
{
    External (\_SB.PCI0.S10, DeviceObj)

    Scope (\_SB.PCI0.S10)
    {
        Method (_DOS, 1) { }
        Method (_DOD, 0) { Return (Package () { 0x80000400 }) }

        Device (LCD0)
        {
            Name (_ADR, 0x400)
            Name (LVL, 50)
            // on AC, on battery, then every level
            Name (_BCL, Package () {
                100, 50,
                0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33,
                34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50,
                51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67,
                68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84,
                85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96, 97, 98, 99, 100
            })
            Method (_BCM, 1)
            {
                If (Arg0 == 77)
                {
                    Local0 = Zero
                    Local0 = One / Local0
                }
                LVL = Arg0
            }
            Method (_BQC, 0) { Return (LVL) }
        }
    }
}
