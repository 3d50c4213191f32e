#pragma once

// How the process's heap gives memory back to the system.
namespace core::os {

// Large blocks (captured frames, encoder pictures) are mapped for themselves and unmapped when
// freed, instead of staying in the heap's arenas after a stream. Call once, first thing.
void mapLargeBlocksApart();

// Hands the heap's free memory back to the system (after a session, when much was just freed).
void returnFreeMemory();

} // namespace core::os
