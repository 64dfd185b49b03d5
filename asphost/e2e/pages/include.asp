<!-- #include file="parts/greeting.inc" -->
<!-- #include virtual="/test/parts/shout.inc" -->
<%= Greeting("world") %> <%= Shout("again") %>
