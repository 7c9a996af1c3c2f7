// Placeholder unit for a subsystem library that has no sources in this build.
