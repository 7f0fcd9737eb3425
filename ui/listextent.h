#pragma once
// Gives a list the horizontal scroll range its widest entry needs.

class ListBox;

void fitHorizontalExtent(ListBox &list);
