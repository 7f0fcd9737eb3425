#pragma once
// Gives a list the horizontal scroll range its widest entry needs.

class ListWidget;

void fitHorizontalExtent(ListWidget &list);
