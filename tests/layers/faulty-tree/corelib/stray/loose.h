// In a folder the table does not list.
#pragma once
