#pragma once
// Gives a list a horizontal scroll range once one of its entries is wider
// than the list itself.

class ListBox;

void fitHorizontalExtent(ListBox &list);
