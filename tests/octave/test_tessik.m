disp('placeholder');
