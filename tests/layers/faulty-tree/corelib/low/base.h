// Lowest layer; includes nothing.
#pragma once
